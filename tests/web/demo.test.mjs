// The demo page in Chromium against the real kobix-web and a virtual
// camera, both started as `make run` starts them (scripts/run.sh serves the
// page on 127.0.0.1:9031): what a newcomer sees, then photos, an upload to a
// loopback server, and the page living through a service crash.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import {
  ARTEFACT_DIR, DEMO_PORT, Service, canvasGrid, meanDifference, openBrowser, quarterTurn, sleep,
  startUploadServer, waitFor, watchdog,
} from './support.mjs';

watchdog(300);

const RESOLUTIONS = ['2592 × 1944', '2048 × 1536', '1920 × 1080', '1600 × 1200', '1280 × 720', '640 × 480'];
let svc, browser, page, uploads;

const dataset = (key) => page.$eval('#preview', (c, key) => Number(c.dataset[key]), key);
const canvasSize = () => page.$eval('#preview', (c) => [c.width, c.height]);
const bannerState = () => page.$eval('#banner', (b) => b.dataset.state || '');
const thumbnails = () => page.$$eval('#thumbs img', (imgs) => imgs.map((i) => ({
  path: i.dataset.path, width: i.naturalWidth, height: i.naturalHeight, complete: i.complete,
})));

// Frames the page received per second, counted over ms, and the new
// pictures it drew meanwhile.
async function frameRate(ms) {
  const [f0, p0, t0] = [await dataset('frames'), await dataset('pictures'), Date.now()];
  await sleep(ms);
  const [f1, p1, t1] = [await dataset('frames'), await dataset('pictures'), Date.now()];
  return { fps: ((f1 - f0) * 1000) / (t1 - t0), pictures: p1 - p0 };
}

async function waitForCanvas(width, height) {
  await waitFor(async () => {
    const [w, h] = await canvasSize();
    const before = await dataset('frames');
    await sleep(300);
    return w === width && h === height && (await dataset('frames')) > before;
  }, `a live ${width}x${height} preview`, 20000, 0);
}

async function takePhoto(expectedCount) {
  const pathText = await page.inputValue('#photo-path');
  await page.click('#capture');
  const thumbs = await waitFor(async () => {
    const t = await thumbnails();
    return t.length === expectedCount && t[0].complete && t[0].width > 0 && t;
  }, `thumbnail ${expectedCount}`, 60000);
  assert.equal(thumbs[0].path, pathText);
  assert.ok(fs.existsSync(pathText), `no photo file at ${pathText}`);
  return thumbs[0];
}

before(async () => {
  fs.mkdirSync(ARTEFACT_DIR, { recursive: true });
  svc = await Service.start();
  uploads = await startUploadServer();
  ({ browser, page } = await openBrowser());
});

after(async () => {
  await browser?.close().catch(() => {});
  await uploads?.close();
  await svc?.stop();
});

test('make run serves the page, which shows the camera live and takes photos', { timeout: 150000 }, async (t) => {
  // The address comes first in what `make run` prints, and the page is there.
  const firstLine = svc.head.split('\n')[0];
  assert.equal(firstLine, `Demo page: http://127.0.0.1:${DEMO_PORT}/demo.html (open it in a browser on this machine)`);
  await waitFor(async () => {
    try { return (await fetch(`http://127.0.0.1:${DEMO_PORT}/`)).ok; } catch (_) { return false; }
  }, 'the demo page server');
  await page.goto(`http://127.0.0.1:${DEMO_PORT}/`);
  assert.match(page.url(), /\/demo\.html$/);

  await t.test('the camera and its resolutions are listed', async () => {
    await waitFor(async () => (await bannerState()) === 'open', 'the banner to say connected');
    await waitFor(async () => (await page.$$('#camera option')).length === 1, 'the camera list');
    assert.deepEqual(await page.$$eval('#camera option', (o) => o.map((x) => x.textContent)), ['DocCam_5MP']);
    assert.deepEqual(await page.$$eval('#resolution option', (o) => o.map((x) => x.textContent)), RESOLUTIONS);
  });

  await t.test('the preview shows changing 1280x960 frames at the camera rate', async () => {
    await waitForCanvas(1280, 960);
    const { fps, pictures } = await frameRate(3000);
    // The virtual camera sends 15 frames per second; every one reaches the
    // page (which draws the newest when it falls behind).
    assert.ok(fps > 11 && fps < 17, `${fps.toFixed(1)} frames per second`);
    // The service decodes one frame in three: a new picture about 5 times a second.
    assert.ok(pictures >= 8, `${pictures} new pictures in 3 s`);
    // The figure on the page (the latest two seconds, updated twice a second).
    const shown = Number(await page.textContent('#fps'));
    assert.ok(Math.abs(shown - fps) < Math.max(3, 0.25 * fps), `the page says ${shown} fps, it got ${fps.toFixed(1)}`);
    // The picture on the canvas changes (the camera's noise: four variants
    // in turn), and is the scene: a light page on a darker desk.
    const grids = new Set();
    let g;
    for (let i = 0; i < 6; ++i) {
      g = await canvasGrid(page, '#preview', 32, 24);
      grids.add(g.join());
      await sleep(130);
    }
    assert.ok(grids.size >= 2, 'the canvas did not change');
    assert.ok(Math.max(...g) - Math.min(...g) > 60, 'the canvas shows no scene');
  });

  await t.test('rotation turns the preview a quarter to the left', async () => {
    // The page off-centre, so that a turn either way is told apart.
    assert.match(await svc.command('scene 0 4 0.36 0.44 0.62'), /^ok/);
    await sleep(1000);
    const upright = await canvasGrid(page, '#preview', 32, 24);
    await page.selectOption('#rotate', '90');
    await waitForCanvas(960, 1280);
    const turned = await canvasGrid(page, '#preview', 24, 32);
    const ccw = meanDifference(turned, quarterTurn(upright, 32, 24, true));
    const cw = meanDifference(turned, quarterTurn(upright, 32, 24, false));
    assert.ok(ccw < 8 && cw > 3 * ccw + 5, `counter-clockwise ${ccw.toFixed(1)}, clockwise ${cw.toFixed(1)}`);
    await page.selectOption('#rotate', '0');
    await waitForCanvas(1280, 960);
  });

  await t.test('photos at the chosen resolution, then cropped to the page', async () => {
    await page.selectOption('#resolution', '1');  // 2048 x 1536
    await sleep(1500);
    assert.equal(await page.inputValue('#photo-path'), '/tmp/kobix-photo-1.jpg');
    const whole = await takePhoto(1);
    assert.deepEqual([whole.width, whole.height], [2048, 1536]);
    assert.equal(await page.inputValue('#photo-path'), '/tmp/kobix-photo-2.jpg');

    await page.check('#crop');
    await sleep(500);
    const cropped = await takePhoto(2);
    const c = await svc.corners(2048, 1536);
    const pageW = Math.hypot(c[2] - c[0], c[3] - c[1]);
    const pageH = Math.hypot(c[6] - c[0], c[7] - c[1]);
    const sides = [cropped.width, cropped.height].sort((a, b) => a - b);
    const truth = [pageW, pageH].sort((a, b) => a - b);
    assert.ok(Math.abs(sides[0] - truth[0]) < 0.05 * truth[0] && Math.abs(sides[1] - truth[1]) < 0.05 * truth[1],
      `photo ${cropped.width}x${cropped.height}, page ${pageW.toFixed(0)}x${pageH.toFixed(0)}`);
    await page.uncheck('#crop');
  });

  await t.test('an upload reaches the HTTP server with the photos', async () => {
    const paths = (await page.inputValue('#upload-paths')).split('|');
    assert.deepEqual(paths, ['/tmp/kobix-photo-1.jpg', '/tmp/kobix-photo-2.jpg']);
    await page.fill('#upload-url', uploads.url);
    await page.click('#upload');
    await waitFor(() => uploads.posts.length === 1, 'the upload', 30000);
    const post = uploads.posts[0];
    assert.equal(post.error, null);
    assert.equal(post.url, '/upload');
    const names = post.parts.map((p) => p.name);
    assert.deepEqual(names, ['sendfile', 'sendfile', 'submit']);
    for (let i = 0; i < 2; ++i) {
      assert.equal(path.basename(post.parts[i].filename), path.basename(paths[i]));
      assert.ok(post.parts[i].content.equals(fs.readFileSync(paths[i])), `part ${i} differs from ${paths[i]}`);
    }
    assert.equal(post.parts[2].content.toString(), 'send');
  });

  await t.test('screenshot of the page with a live frame and the photos', async () => {
    const file = path.join(ARTEFACT_DIR, 'demo.png');
    fs.rmSync(file, { force: true });
    await waitForCanvas(1280, 960);
    await page.screenshot({ path: file });
    assert.ok(fs.statSync(file).size > 50000, 'the screenshot is nearly empty');
  });

  assert.deepEqual(page.errors, []);
});

test('the page recovers without a reload when the service crashes and starts again', { timeout: 90000 }, async () => {
  await page.evaluate(() => { window.notReloaded = true; });
  await waitForCanvas(1280, 960);
  await svc.kill();
  await waitFor(async () => (await bannerState()) === 'waiting', 'the banner to say not reachable');
  const stalled = await dataset('frames');
  await sleep(1500);
  assert.equal(await dataset('frames'), stalled, 'frames while the service is gone');

  svc = await Service.start();
  await waitFor(async () => (await bannerState()) === 'open', 'the banner to say connected again', 20000);
  await waitForCanvas(1280, 960);
  const { fps } = await frameRate(2000);
  assert.ok(fps > 11, `${fps.toFixed(1)} frames per second after the restart`);
  assert.equal(await page.evaluate(() => window.notReloaded), true, 'the page was reloaded');
  assert.deepEqual(page.errors, []);
});
