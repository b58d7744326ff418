// Prints every request of the protocol and what kobix-web answers, byte for
// byte (long base64 texts shortened), for docs/protocol.md.  Runs the real
// service with a virtual camera, like the tests:
//   tests/web/isolated.sh . build -- node --experimental-websocket \
//     "$PWD/tests/web/protocol-examples.mjs"
// with KOBIX_SOURCE_DIR and KOBIX_BUILD_DIR set (Node 22 needs no flag).
import http from 'node:http';
import { once } from 'node:events';
import { Service, sleep, waitFor } from './support.mjs';

const shorten = (text) => text.replace(/"([A-Za-z0-9+/=]{80,})"/g, (_, b64) => `"${b64.slice(0, 40)}…(${b64.length} characters)…${b64.slice(-8)}"`);

class Conn {
  constructor(name) {
    this.name = name;
    this.replies = [];
    this.frames = 0;
    this.lastFrame = '';
  }
  async open() {
    this.ws = new WebSocket('ws://127.0.0.1:9030');
    this.ws.onmessage = (e) => {
      const text = String(e.data);
      if (text.includes('"imgBase64Str"')) { ++this.frames; this.lastFrame = text; } else this.replies.push(text);
    };
    await new Promise((res, rej) => { this.ws.onopen = res; this.ws.onerror = rej; });
    return this;
  }
  // Sends text; prints the reply, or that none came (a VideoStatus after it
  // shows the service went on).
  async ask(text, expectReply = true) {
    console.log(`\n>>> ${text}`);
    this.ws.send(text);
    if (!expectReply) {
      this.ws.send('{"type":"VideoStatus"}');
      await waitFor(() => this.replies.length > 0, 'the barrier reply', 20000, 10);
      const next = this.replies.shift();
      console.log(next.includes('"VideoStatus"') ? '<<< (no reply: the next reply is that of a VideoStatus sent after it)' : `<<< UNEXPECTED ${next}`);
      return null;
    }
    await waitFor(() => this.replies.length > 0, `a reply to ${text}`, 30000, 10);
    const reply = this.replies.shift();
    console.log(`<<< ${JSON.stringify(shorten(reply))}`);
    console.log(shorten(reply));
    return JSON.parse(reply);
  }
}

const svc = await Service.start();
const form = http.createServer((req, res) => {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => {
    const body = Buffer.concat(chunks).toString('latin1').replace(/(\r\n\r\n)([\s\S]*?)(\r\n--)/g,
      (_, a, content, b) => a + (content.length > 40 ? `<${content.length} bytes>` : content) + b);
    console.log(`\n--- the upload server received:\n${req.method} ${req.url}\n${Object.entries(req.headers).map(([k, v]) => `${k}: ${v}`).join('\n')}\n\n${body}`);
    res.end('ok');
  });
}).listen(0, '127.0.0.1');
await once(form, 'listening');

const a = await new Conn('A').open();
await waitFor(async () => (await a.ask('{"type":"GetCameraInfo"}')).devInfo[0].devName.length > 0, 'the camera', 20000, 300);
await a.ask('{"type":"VideoStatus"}');
await a.ask('{"type":"OpenCamera"}');
await a.ask('{"type":"SetCameraInfo","devNum":0,"resolutionNum":1}');
await a.ask('{"type":"VideoStatus"}');
await a.ask('{"type":"GetCameraVideoBuff"}', false);
await sleep(2000);
console.log(`\n(preview: ${a.frames} frames in about 2 s) one of them:\n${shorten(a.lastFrame)}`);
await a.ask('{"type":"SetCameraImageInfo","imageType":0,"cropType":1,"fillBorderType":0,"removalForeign":0,"rotate":90}');
await a.ask('{"type":"CameraCapture","imgPath":"/tmp/scan-1.jpg"}');
await a.ask('{"type":"CameraCapture","imgPath":"/no/such/folder/scan.jpg"}');
await a.ask(`{"type":"UploadFile","url":"http://127.0.0.1:${form.address().port}/upload","filepath":"/tmp/scan-1.jpg"}`, false);
await sleep(1000);
console.log('\n--- service output about the upload:\n' + svc.output.split('\n').filter((l) => /上传|HTTP\/1.1 200|^ok$/.test(l)).slice(-4).join('\n'));
for (const bad of ['{"type":"SetCameraInfo","devNum":0}', '{"type":"CameraCapture"}', '{"type":"NoSuchRequest"}',
  '{ "type":"VideoStatus"}', '{"kind":"VideoStatus"}', '{"type":"UploadFile","url":"http://127.0.0.1:9/"}'])
  await a.ask(bad, false);

// The latest sender gets the replies and the preview.
const b = await new Conn('B').open();
const before = [a.frames, b.frames];
await b.ask('{"type":"VideoStatus"}');
await sleep(1500);
console.log(`\n(after B's request: A got ${a.frames - before[0]} more frames, B ${b.frames - before[1]})`);
const framesBefore = await svc.frames();
b.ws.close();
await sleep(1500);
const f1 = await svc.frames();
await sleep(1500);
console.log(`(after B closed: the camera delivered ${f1 - framesBefore} frames in the first 1.5 s, then ${(await svc.frames()) - f1})`);
a.ws.close();
form.close();
await svc.stop();
