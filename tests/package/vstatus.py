"""Asks the service on 127.0.0.1:9030 for "VideoStatus", as a page would,
and prints the reply.  Retries the connection while the service starts."""
import asyncio
import json
import sys

import websockets


async def ask(deadline_s):
    loop = asyncio.get_running_loop()
    end = loop.time() + deadline_s
    while True:
        try:
            async with websockets.connect("ws://127.0.0.1:9030", open_timeout=2) as ws:
                await ws.send(json.dumps({"type": "VideoStatus"}))
                return json.loads(await asyncio.wait_for(ws.recv(), 10))
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            if loop.time() > end:
                raise
            await asyncio.sleep(0.2)


reply = asyncio.run(ask(float(sys.argv[1]) if len(sys.argv) > 1 else 30))
print(json.dumps(reply))
ok = reply.get("func") == "VideoStatus" and reply.get("result") == 0 and "video0" in reply
sys.exit(0 if ok else 1)
