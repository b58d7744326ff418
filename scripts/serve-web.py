#!/usr/bin/env python3
"""Serves the demo page (web/) on a loopback port for `make run`.

Usage: serve-web.py DIRECTORY [PORT]   (PORT default 9031, bound to 127.0.0.1)

Quiet (no line per request), never cached, "/" leads to demo.html.  It ends
by itself when the process that started it ends (run.sh becomes the service,
whose Ctrl-C does not reach a background job of a script).
"""
import functools
import http.server
import os
import sys
import threading
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".js": "text/javascript", ".css": "text/css", ".html": "text/html"}

    def do_GET(self):
        if self.path in ("/", "/index.html"):
            self.send_response(302)
            self.send_header("Location", "/demo.html")
            self.end_headers()
            return
        super().do_GET()

    def end_headers(self):
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

    def log_message(self, *args):
        pass


def watch_parent(parent):
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    directory = sys.argv[1]
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 9031
    handler = functools.partial(Handler, directory=directory)
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    except OSError as err:
        print(f"demo page: cannot serve on 127.0.0.1:{port}: {err.strerror}", file=sys.stderr)
        return 1
    threading.Thread(target=watch_parent, args=(os.getppid(),), daemon=True).start()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
