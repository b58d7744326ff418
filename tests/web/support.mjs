// Shared pieces of the browser tests: the real kobix-web with a virtual
// camera started as `make run` starts it, an upload server, and Debian's
// Chromium driven by playwright-core.
//
// The tests run inside tests/web/isolated.sh (private /opt, /tmp, loopback
// and process namespace, the build installed under /opt/velmora/camera):
// port 9030 and every port used here are the test's own.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (err) {
  throw new Error(`playwright-core is not installed in tests/web: run scripts/install-deps.sh (${err.message})`);
}

export const SOURCE_DIR = process.env.KOBIX_SOURCE_DIR;
export const BUILD_DIR = process.env.KOBIX_BUILD_DIR;
export const ARTEFACT_DIR = process.env.KOBIX_WEB_ARTEFACTS || path.join(BUILD_DIR || '.', 'tests/web');
export const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const PREFIX = '/opt/velmora/camera';
const CONTROL = '/tmp/vcam-control.sock';
export const DEMO_PORT = 9031;

if (!SOURCE_DIR || !BUILD_DIR || process.env.KOBIX_WEB_ISOLATED !== '1')
  throw new Error('run through tests/web/isolated.sh with KOBIX_SOURCE_DIR and KOBIX_BUILD_DIR set (ctest does)');

// A whole test file must end: whatever hangs, the process goes after this.
export function watchdog(seconds) {
  setTimeout(() => {
    console.error(`watchdog: the test file ran longer than ${seconds} s`);
    process.exit(3);
  }, seconds * 1000).unref();
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls fn until it returns a truthy value; throws with what after timeoutMs.
export async function waitFor(fn, what, timeoutMs = 20000, intervalMs = 100) {
  const end = Date.now() + timeoutMs;
  let last;
  for (;;) {
    last = await fn();
    if (last) return last;
    if (Date.now() > end) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(intervalMs);
  }
}

function portAccepts(port) {
  return new Promise((resolve) => {
    const s = net.connect({ host: '127.0.0.1', port });
    s.once('connect', () => { s.destroy(); resolve(true); });
    s.once('error', () => resolve(false));
  });
}

// ---- the service -------------------------------------------------------------

// kobix-web with one virtual camera, started the way `make run` starts it
// (scripts/run.sh, which also serves the demo page on DEMO_PORT).
export class Service {
  constructor() {
    const env = { ...process.env, QT_QPA_PLATFORM: 'offscreen', VCAM_CONTROL: CONTROL, KOBIX_VIRTUAL_CAMERA: '1',
      VCAM_BUILD: BUILD_DIR, PREFIX };
    this.proc = spawn(path.join(SOURCE_DIR, 'scripts/run.sh'), [], { env, stdio: ['ignore', 'pipe', 'pipe'] });
    this.output = '';  // the first lines, then the latest (bounded)
    this.head = '';
    const keep = (chunk) => {
      if (this.head.length < 4000) this.head += String(chunk).slice(0, 4000 - this.head.length);
      this.output = (this.output + chunk).slice(-60000);
    };
    this.proc.stdout.on('data', keep);
    this.proc.stderr.on('data', keep);
    this.exited = once(this.proc, 'exit');
  }

  static async start() {
    const svc = new Service();
    await waitFor(async () => {
      if (svc.proc.exitCode !== null) throw new Error(`the service ended at start:\n${svc.output}`);
      return (await portAccepts(9030)) && portAccepts(DEMO_PORT);
    }, 'the service and the demo page server to listen', 20000);
    return svc;
  }

  // The process id of kobix-web (its pid file).
  pid() {
    try {
      const pid = Number(fs.readFileSync('/tmp/kobix-web.pid', 'utf8'));
      return pid > 0 && fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes('kobix-web') ? pid : 0;
    } catch (_) {
      return 0;
    }
  }

  signal(sig) {
    const pid = this.pid();
    if (!pid) throw new Error('kobix-web is not running');
    process.kill(pid, sig);
  }

  // Kills kobix-web at once, as a crash would; the harness ends with it,
  // and the demo page server with the harness.
  async kill() {
    this.signal('SIGKILL');
    await this.waitExit(10000);
    await waitFor(async () => !(await portAccepts(DEMO_PORT)), 'the demo page server to end with the service', 5000);
  }

  async stop() {
    if (this.proc.exitCode === null && this.proc.signalCode === null) {
      this.proc.kill('SIGTERM');
      if (!(await this.waitExit(10000))) this.proc.kill('SIGKILL');
    }
    const pid = this.pid();
    if (pid) process.kill(pid, 'SIGKILL');
    await this.waitExit(5000);
  }

  async waitExit(ms) {
    return Promise.race([this.exited.then(() => true), sleep(ms).then(() => false)]);
  }

  // One harness command; its reply line.
  command(cmd) {
    return new Promise((resolve, reject) => {
      const s = net.connect(CONTROL);
      let reply = '';
      const timer = setTimeout(() => { s.destroy(); reject(new Error(`harness: no reply to ${cmd}`)); }, 10000);
      s.on('connect', () => s.write(cmd + '\n'));
      s.on('data', (d) => {
        reply += d;
        if (reply.includes('\n')) { clearTimeout(timer); s.destroy(); resolve(reply.split('\n')[0]); }
      });
      s.on('error', (e) => { clearTimeout(timer); reject(e); });
    });
  }

  async frames(cam = 0) {
    const r = await this.command(`frames ${cam}`);
    return r.startsWith('ok ') ? Number(r.slice(3)) : -1;
  }

  // The page corners of the scene at a frame size: [x0, y0, ... x3, y3].
  async corners(width, height, cam = 0) {
    const r = await this.command(`corners ${cam} ${width} ${height}`);
    if (!r.startsWith('ok ')) throw new Error(`harness: ${r}`);
    return r.slice(3).trim().split(/\s+/).map(Number);
  }
}

// ---- uploads ---------------------------------------------------------------------

// An HTTP server on 127.0.0.1 that records the forms posted to it.
export async function startUploadServer() {
  const posts = [];
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', async () => {
      // Parsed by Node's own multipart/form-data parser (its fetch Response):
      // [{ name, filename, content: Buffer }] in the order sent.
      const post = { method: req.method, url: req.url, headers: req.headers, parts: null, error: null };
      try {
        const form = await new Response(Buffer.concat(chunks), { headers: { 'content-type': req.headers['content-type'] } }).formData();
        post.parts = [];
        for (const [name, value] of form) {
          post.parts.push(typeof value === 'string' ? { name, filename: undefined, content: Buffer.from(value) }
            : { name, filename: value.name, content: Buffer.from(await value.arrayBuffer()) });
        }
      } catch (err) {
        post.error = err.message;
      }
      posts.push(post);
      res.writeHead(200, { 'Content-Type': 'text/plain' }).end('received');
    });
  });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return { posts, url: `http://127.0.0.1:${server.address().port}/upload`, close: () => new Promise((r) => server.close(r)) };
}

// ---- the browser -------------------------------------------------------------------

// Debian's Chromium, headless, a 1280 x 800 page.  Errors of the page's
// scripts are collected in page.errors.
export async function openBrowser() {
  const browser = await chromium.launch({
    executablePath: CHROMIUM,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
    timeout: 30000,
  });
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  page.errors = [];
  page.on('pageerror', (err) => page.errors.push(String(err)));
  page.setDefaultTimeout(20000);
  return { browser, page };
}

// ---- pictures ----------------------------------------------------------------------

// Mean brightness of gw x gh cells of the page's canvas, row by row.
export function canvasGrid(page, selector, gw, gh) {
  return page.evaluate(([selector, gw, gh]) => {
    const c = document.querySelector(selector);
    const { data } = c.getContext('2d').getImageData(0, 0, c.width, c.height);
    const sum = new Float64Array(gw * gh);
    const count = new Float64Array(gw * gh);
    for (let y = 0; y < c.height; y += 2) {
      for (let x = 0; x < c.width; x += 2) {
        const i = (y * c.width + x) * 4;
        const cell = Math.floor((y * gh) / c.height) * gw + Math.floor((x * gw) / c.width);
        sum[cell] += (data[i] * 299 + data[i + 1] * 587 + data[i + 2] * 114) / 1000;
        count[cell] += 1;
      }
    }
    return Array.from(sum, (s, i) => s / count[i]);
  }, [selector, gw, gh]);
}

// A gw x gh grid turned a quarter (the result is gh x gw).
export function quarterTurn(g, gw, gh, counterClockwise) {
  const out = new Array(g.length);
  for (let y = 0; y < gw; ++y) {
    for (let x = 0; x < gh; ++x) {
      const sx = counterClockwise ? gw - 1 - y : y;
      const sy = counterClockwise ? x : gh - 1 - x;
      out[y * gh + x] = g[sy * gw + sx];
    }
  }
  return out;
}

export function meanDifference(a, b) {
  let d = 0;
  for (let i = 0; i < a.length; ++i) d += Math.abs(a[i] - b[i]);
  return d / a.length;
}
