// web/kobix-camera.js alone, in Chromium, against the real kobix-web and a
// virtual camera: replies paired with their requests while several wait,
// preview frames, timeouts with late replies (the service stopped with
// SIGSTOP), the connection lost (the service killed) and found again.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, test } from 'node:test';
import { DEMO_PORT, Service, openBrowser, sleep, startUploadServer, waitFor, watchdog } from './support.mjs';

watchdog(300);

let svc, uploads, browser, page;

before(async () => {
  svc = await Service.start();
  uploads = await startUploadServer();
  ({ browser, page } = await openBrowser());
  // The module alone, in a document of the demo page's server.  It must be
  // a document served from loopback: Chromium blocks a WebSocket to
  // 127.0.0.1 from one it cannot place there (a document fulfilled by the
  // test itself failed with ERR_BLOCKED_BY_LOCAL_NETWORK_ACCESS_CHECKS).
  await page.goto(`http://127.0.0.1:${DEMO_PORT}/kobix-camera.js`);
  await page.evaluate(async () => { window.kobix = await import('/kobix-camera.js'); });
  // One client for the whole file, with the camera streaming at 2048 x 1536.
  await page.evaluate(async () => {
    const c = (window.c = new window.kobix.KobixCamera());
    window.states = [];
    c.addEventListener('state', (e) => window.states.push({ ...e.detail, t: performance.now() }));
    await c.whenOpen(20000);
  });
  await waitFor(() => page.evaluate(async () => {
    const { names } = window.kobix.describeCameras(await window.c.getCameraInfo());
    return names.length === 1;
  }), 'the virtual camera to be listed', 20000, 200);
  // Photos only once a frame of the restarted camera came: until then the
  // service still holds the frame from before (docs/protocol.md).
  await page.evaluate(async () => {
    const c = window.c;
    await c.setCameraInfo(0, 1);
    await c.startPreview();
    const first = c.frameCount;
    await new Promise((res, rej) => {
      const timer = setTimeout(() => rej(new Error('no preview frame')), 10000);
      c.addEventListener('frame', () => { if (c.frameCount >= first + 2) { clearTimeout(timer); res(); } });
    });
  });
});

after(async () => {
  await browser?.close().catch(() => {});
  await uploads?.close();
  await svc?.stop();
});

test('replies are paired with their requests while several wait', { timeout: 60000 }, async () => {
  const r = await page.evaluate(async (uploadUrl) => {
    const c = window.c;
    const unsolicited = [];
    c.addEventListener('message', (e) => unsolicited.push(e.detail));
    let frames = 0;
    const onFrame = () => ++frames;
    c.addEventListener('frame', onFrame);
    // Requests without a reply (upload, preview) among those with one, two
    // photos and two status requests in flight at once.
    const calls = [
      c.cameraCapture('/tmp/pair-a.jpg'),
      c.videoStatus(),
      c.uploadFile(uploadUrl, ['/tmp/pair-a.jpg']),
      c.getCameraInfo(),
      c.startPreview(),
      c.openCamera(),
      c.cameraCapture('/tmp/pair-b.jpg'),
      c.setCameraImageInfo({ imageType: 1 }),
      c.videoStatus(),
    ];
    const inFlight = c.pendingCount();
    const res = await Promise.all(calls);
    c.removeEventListener('frame', onFrame);
    const size = async (b64) => {
      const bmp = await createImageBitmap(window.kobix.base64ToBlob(b64));
      return [bmp.width, bmp.height];
    };
    await c.setCameraImageInfo({ imageType: 0 });
    return {
      inFlight,
      after: c.pendingCount(),
      funcs: res.map((x) => (x === undefined ? null : x.func)),
      reqIds: [res[0].reqId, res[6].reqId],
      sizes: [await size(res[0].base64), await size(res[6].base64)],
      status: res[1],
      cameras: window.kobix.describeCameras(res[3]).names,
      unsolicited: unsolicited.length,
      frames,
    };
  }, uploads.url);
  assert.equal(r.inFlight, 7);
  assert.deepEqual(r.funcs, ['CameraCapture', 'VideoStatus', null, 'GetCameraInfo', null, 'OpenCamera',
    'CameraCapture', 'SetCameraImageInfo', 'VideoStatus']);
  assert.deepEqual(r.reqIds, ['/tmp/pair-a.jpg', '/tmp/pair-b.jpg']);
  assert.deepEqual(r.sizes, [[2048, 1536], [2048, 1536]]);
  assert.equal(r.status.video0, 'run');
  assert.deepEqual(r.cameras, ['DocCam_5MP']);
  assert.equal(r.after, 0);
  assert.equal(r.unsolicited, 0);
  // The upload was sent between the photo and the rest.
  await waitFor(() => uploads.posts.length === 1, 'the upload', 30000);
  assert.deepEqual(uploads.posts[0].parts.map((p) => p.name), ['sendfile', 'submit']);
  assert.ok(uploads.posts[0].parts[0].content.equals(fs.readFileSync('/tmp/pair-a.jpg')));

  // Requests the service would drop or answer wrongly are refused before
  // they are sent.
  const refused = await page.evaluate(() => Promise.all([
    window.c.setCameraImageInfo({ rotate: 45 }),
    window.c.setCameraInfo(-1, 0),
    window.c.cameraCapture(''),
    window.c.uploadFile('ftp://127.0.0.1/x', '/tmp/a.jpg'),
    window.c.uploadFile('http://127.0.0.1/x', new Array(2000).fill('/tmp/a.jpg')),
  ].map((p) => p.then(() => 'sent', (e) => e.code))));
  assert.deepEqual(refused, ['invalid', 'invalid', 'invalid', 'invalid', 'invalid']);
});

test('preview frames come as events with their rate, bitmaps and object URLs', { timeout: 60000 }, async () => {
  const r = await page.evaluate(async () => {
    const c = window.c;
    const seen = [];
    const onFrame = (e) => seen.push(e.detail);
    c.addEventListener('frame', onFrame);
    await new Promise((res) => setTimeout(res, 3000));
    c.removeEventListener('frame', onFrame);
    const bitmap = await seen[seen.length - 1].bitmap();
    const readable = async (url) => {
      try { await (await fetch(url)).blob(); return true; } catch (_) { return false; }
    };
    const first = c.frameURL(seen[0]);
    const second = c.frameURL(seen[1]);
    const out = {
      count: seen.length,
      fps: c.fps,
      size: [bitmap.width, bitmap.height],
      ascending: seen.every((f, i) => i === 0 || f.seq === seen[i - 1].seq + 1),
      changes: seen.filter((f, i) => i > 0 && f.base64 !== seen[i - 1].base64).length,
      firstAfterSecond: await readable(first),
      second: await readable(second),
    };
    c.revokeFrameURL();
    out.secondAfterRevoke = await readable(second);
    return out;
  });
  // The virtual camera sends 15 frames a second; the service decodes a new
  // picture every third frame (the camera's noise changes each time).
  assert.ok(r.count >= 33 && r.count <= 51, `${r.count} frames in 3 s`);
  assert.ok(r.fps > 11 && r.fps < 17, `fps ${r.fps}`);
  assert.ok(r.changes >= 8, `the picture changed ${r.changes} times`);
  assert.deepEqual(r.size, [1280, 960]);
  assert.equal(r.ascending, true);
  assert.deepEqual([r.firstAfterSecond, r.second, r.secondAfterRevoke], [false, true, false]);
});

test('calls time out, and late replies do not answer later calls', { timeout: 60000 }, async () => {
  await page.evaluate(() => {
    const c = window.c;
    window.late = 0;
    window.unsolicited = 0;
    c.addEventListener('latereply', () => ++window.late);
    c.addEventListener('message', () => ++window.unsolicited);
  });
  svc.signal('SIGSTOP');
  let r;
  try {
    r = await page.evaluate(async () => {
      const c = window.c;
      const outcome = (p) => p.then((x) => `resolved ${x.func}`, (e) => e.code);
      const t0 = performance.now();
      const timedOut = await Promise.all([
        outcome(c.videoStatus({ timeout: 800 })),
        outcome(c.getCameraInfo({ timeout: 800 })),
        outcome(c.cameraCapture('/tmp/late.jpg', { timeout: 800 })),
      ]);
      const elapsed = performance.now() - t0;
      // At most maxPending calls of a kind wait (timed-out ones included).
      c.maxPending = 3;
      const more = [c.videoStatus({ timeout: 600 }), c.videoStatus({ timeout: 600 }), c.videoStatus()].map(outcome);
      const bounded = await Promise.all(more);
      c.maxPending = 16;
      return { timedOut, elapsed, bounded, pending: c.pendingCount() };
    });
  } finally {
    svc.signal('SIGCONT');
  }
  assert.deepEqual(r.timedOut, ['timeout', 'timeout', 'timeout']);
  assert.ok(r.elapsed >= 750 && r.elapsed < 3000, `timed out after ${r.elapsed} ms`);
  assert.deepEqual(r.bounded, ['timeout', 'timeout', 'busy']);
  assert.equal(r.pending, 0);

  // The five late replies come once the service runs again, and are taken
  // by the calls that timed out.
  await waitFor(() => page.evaluate(() => window.late === 5), 'five late replies', 20000);
  const fresh = await page.evaluate(async () => {
    const c = window.c;
    const [status, photo] = await Promise.all([c.videoStatus(), c.cameraCapture('/tmp/fresh.jpg')]);
    await new Promise((res) => setTimeout(res, 500));
    return { status: status.func, reqId: photo.reqId, photo: photo.base64.length > 0, late: window.late,
      unsolicited: window.unsolicited, pending: c.pendingCount() };
  });
  assert.deepEqual(fresh, { status: 'VideoStatus', reqId: '/tmp/fresh.jpg', photo: true, late: 5, unsolicited: 0, pending: 0 });
});

test('a lost connection fails waiting calls at once, and the client reconnects with back-off', { timeout: 90000 }, async () => {
  await page.evaluate(() => {
    window.states.length = 0;
    window.c.minDelay = 200;
    window.c.maxDelay = 1600;
  });
  svc.signal('SIGSTOP');
  const waiting = page.evaluate(() => {
    const t0 = performance.now();
    return window.c.videoStatus({ timeout: 30000 }).then(() => 'resolved', (e) => ({ code: e.code, ms: performance.now() - t0 }));
  });
  await sleep(300);
  await svc.kill();
  const lost = await waiting;
  assert.equal(lost.code, 'connection-lost');
  assert.ok(lost.ms < 5000, `rejected after ${lost.ms} ms`);
  assert.equal(await page.evaluate(() => window.c.videoStatus().then(() => 'resolved', (e) => e.code)), 'not-connected');

  await sleep(5000);
  const delays = await page.evaluate(() => window.states.filter((s) => s.state === 'waiting').map((s) => s.delay));
  assert.deepEqual(delays.slice(0, 4), [200, 400, 800, 1600]);
  assert.ok(delays.length >= 4 && delays.every((d) => d <= 1600), `delays ${delays}`);
  const states = await page.evaluate(() => window.states.map((s) => s.state));
  assert.deepEqual(states.slice(0, 3), ['waiting', 'connecting', 'waiting']);

  svc = await Service.start();
  await page.evaluate(() => window.c.whenOpen(20000));
  await waitFor(() => page.evaluate(async () => {
    const { names } = window.kobix.describeCameras(await window.c.getCameraInfo());
    return names.length === 1;
  }), 'the camera to be listed again', 20000, 200);
  const frames = await page.evaluate(async () => {
    const c = window.c;
    await c.setCameraInfo(0, 5);
    await c.startPreview();
    const before = c.frameCount;
    await new Promise((res) => setTimeout(res, 1500));
    return c.frameCount - before;
  });
  assert.ok(frames >= 10, `${frames} frames in 1.5 s after reconnecting`);

  // close(): waiting calls fail, and no reconnection follows.
  const closed = await page.evaluate(async () => {
    const c = window.c;
    const call = c.videoStatus().then(() => 'resolved', (e) => e.code);
    c.close();
    const code = await call;
    window.states.length = 0;
    await new Promise((res) => setTimeout(res, 1000));
    return { code, state: c.state, later: window.states.length };
  });
  assert.deepEqual(closed, { code: 'closed', state: 'closed', later: 0 });
});
