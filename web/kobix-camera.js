// kobix-camera.js: a page's client for the kobix-web camera service
// (ws://127.0.0.1:9030).  One dependency-free ES module; include it as it is:
//
//   import { KobixCamera } from './kobix-camera.js';
//   const cam = new KobixCamera();            // connects, and reconnects
//   cam.addEventListener('state', (e) => console.log(e.detail.state));
//   cam.addEventListener('frame', (e) => draw(e.detail));   // PreviewFrame
//   await cam.whenOpen();
//   const info = await cam.getCameraInfo();
//   await cam.setCameraInfo(0, 0);
//   await cam.startPreview();
//   const photo = await cam.cameraCapture('/tmp/scan-1.jpg');
//
// Each request is a method returning a promise of the service's reply (the
// parsed JSON object).  Replies carry no request number: they are paired with
// requests by their "func", oldest first (the service answers in order), and
// photos by their "reqId" (the photo path).  A call rejects with a
// KobixError on timeout, when the connection is lost, when it is not
// connected, or when too many calls of one kind wait.  "UploadFile" and
// "GetCameraVideoBuff" get no reply: their calls resolve once sent.
//
// The service sends replies to the connection that sent the latest message,
// so one page (one client) should talk to it at a time.  See docs/protocol.md.

export const DEFAULT_URL = 'ws://127.0.0.1:9030';

// The service drops messages of this many bytes or more.
const MAX_MESSAGE_BYTES = 10240;
const ROTATIONS = [0, 90, 180, 270];

export class KobixError extends Error {
  // code: 'timeout' | 'connection-lost' | 'not-connected' | 'busy' |
  //       'closed' | 'invalid'
  constructor(code, message) {
    super(message);
    this.name = 'KobixError';
    this.code = code;
  }
}

// Base64 text (a preview frame or a photo) to a Blob.
export function base64ToBlob(base64, type = 'image/jpeg') {
  let bytes;
  if (typeof Uint8Array.fromBase64 === 'function') {
    bytes = Uint8Array.fromBase64(base64);
  } else {
    const binary = atob(base64);
    bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  }
  return new Blob([bytes], { type });
}

// "2592*1944" -> { text, width, height } (width and height 0 when unreadable).
export function parseResolution(text) {
  const m = /^\s*(\d+)\s*[*x]\s*(\d+)\s*$/.exec(String(text));
  return { text: String(text), width: m ? Number(m[1]) : 0, height: m ? Number(m[2]) : 0 };
}

// A "GetCameraInfo" reply as lists: camera names (index = devNum) and
// resolutions (index = resolutionNum).
export function describeCameras(reply) {
  const info = (reply && Array.isArray(reply.devInfo) && reply.devInfo[0]) || {};
  const names = Array.isArray(info.devName) ? info.devName.map(String) : [];
  const list = Array.isArray(info.resolutionList) ? info.resolutionList : [];
  return { names, resolutions: list.map(parseResolution) };
}

// One preview picture as the service sent it: a JPEG in base64, 1280 x 960
// (960 x 1280 after a quarter turn).
export class PreviewFrame {
  constructor(base64, seq, time) {
    this.base64 = base64;
    this.seq = seq;    // 1, 2, ... since the client was made
    this.time = time;  // performance.now() at arrival
    this._blob = null;
  }
  blob() {
    if (!this._blob) this._blob = base64ToBlob(this.base64);
    return this._blob;
  }
  // An ImageBitmap of the picture; close() it when drawn.
  bitmap() {
    return createImageBitmap(this.blob());
  }
}

function isInt(v, min, max) {
  return Number.isInteger(v) && v >= min && v <= max;
}

export class KobixCamera extends EventTarget {
  // options: url, timeout (ms, default 15000), captureTimeout (ms, 60000),
  // reconnect (true), minDelay / maxDelay (back-off, 250 / 5000 ms),
  // maxPending (calls of one kind waiting or timed out, 16), lateReplyMs
  // (how long a timed-out call still claims its late reply, 60000),
  // autoConnect (true).
  constructor(options = {}) {
    super();
    this.url = options.url || DEFAULT_URL;
    this.timeout = options.timeout ?? 15000;
    this.captureTimeout = options.captureTimeout ?? 60000;
    this.reconnect = options.reconnect ?? true;
    this.minDelay = options.minDelay ?? 250;
    this.maxDelay = options.maxDelay ?? 5000;
    this.maxPending = options.maxPending ?? 16;
    this.lateReplyMs = options.lateReplyMs ?? 60000;
    this._WebSocket = options.WebSocket || globalThis.WebSocket;

    this._state = 'idle';
    this._ws = null;
    this._attempt = 0;     // failed attempts since the last open
    this._retryTimer = null;
    this._pending = new Map();  // func -> [entry, ...] oldest first
    this._frameCount = 0;
    this._frameTimes = [];  // arrival times of the latest frames (bounded)
    this._frameURL = null;
    if (options.autoConnect ?? true) this.connect();
  }

  // 'idle' | 'connecting' | 'open' | 'waiting' (a retry is due) | 'closed'
  // (close() was called).
  get state() {
    return this._state;
  }
  get frameCount() {
    return this._frameCount;
  }
  // Frames per second over the latest two seconds.
  get fps() {
    const times = this._frameTimes;
    const now = performance.now();
    let first = times.length;
    while (first > 0 && now - times[first - 1] <= 2000) --first;
    const n = times.length - first;
    if (n < 2) return 0;
    const span = Math.max(now - times[first], times[times.length - 1] - times[first]);
    return span > 0 ? ((n - 1) * 1000) / span : 0;
  }
  // Calls waiting for a reply (timed-out ones still claiming a late reply
  // not counted).
  pendingCount() {
    let n = 0;
    for (const queue of this._pending.values()) n += queue.filter((e) => !e.late).length;
    return n;
  }

  // Starts connecting (again, after close()).
  connect() {
    if (this._state === 'connecting' || this._state === 'open') return;
    clearTimeout(this._retryTimer);
    this._retryTimer = null;
    this._open();
  }

  // Closes for good: no reconnection, waiting calls rejected, the frame URL
  // revoked.
  close() {
    clearTimeout(this._retryTimer);
    this._retryTimer = null;
    const ws = this._ws;
    this._ws = null;
    if (ws) {
      ws.onopen = ws.onclose = ws.onerror = ws.onmessage = null;
      try { ws.close(); } catch (_) { /* already closing */ }
    }
    this._failAll('closed', 'the client was closed');
    this.revokeFrameURL();
    this._setState('closed', {});
  }

  // Resolves once connected (at once when open); rejects after timeoutMs.
  whenOpen(timeoutMs = 30000) {
    if (this._state === 'open') return Promise.resolve();
    return new Promise((resolve, reject) => {
      const onState = (e) => {
        if (e.detail.state === 'open') { finish(); resolve(); }
        else if (e.detail.state === 'closed') { finish(); reject(new KobixError('closed', 'the client was closed')); }
      };
      const timer = setTimeout(() => {
        finish();
        reject(new KobixError('timeout', `not connected to ${this.url} within ${timeoutMs} ms`));
      }, timeoutMs);
      const finish = () => { clearTimeout(timer); this.removeEventListener('state', onState); };
      this.addEventListener('state', onState);
    });
  }

  // ---- requests -----------------------------------------------------------

  getCameraInfo(opts) {
    return this.request('GetCameraInfo', {}, opts);
  }
  setCameraInfo(devNum, resolutionNum, opts) {
    if (!isInt(devNum, 0, 255) || !isInt(resolutionNum, 0, 255))
      return this._invalid('devNum and resolutionNum are small whole numbers');
    return this.request('SetCameraInfo', { devNum, resolutionNum }, opts);
  }
  videoStatus(opts) {
    return this.request('VideoStatus', {}, opts);
  }
  openCamera(opts) {
    return this.request('OpenCamera', {}, opts);
  }
  // settings: imageType 0 colour, 1 grey, 2 black and white; cropType 1 =
  // deskew and cut to the page; fillBorderType, removalForeign 0/1; rotate
  // 0, 90, 180 or 270 (counter-clockwise).
  setCameraImageInfo(settings = {}, opts) {
    const s = { imageType: 0, cropType: 0, fillBorderType: 0, removalForeign: 0, rotate: 0, ...settings };
    if (!isInt(s.imageType, 0, 2) || !isInt(s.cropType, 0, 1) || !isInt(s.fillBorderType, 0, 1) ||
        !isInt(s.removalForeign, 0, 1) || !ROTATIONS.includes(s.rotate))
      return this._invalid('imageType 0-2, cropType, fillBorderType, removalForeign 0/1, rotate 0/90/180/270');
    return this.request('SetCameraImageInfo', {
      imageType: s.imageType, cropType: s.cropType, fillBorderType: s.fillBorderType,
      removalForeign: s.removalForeign, rotate: s.rotate,
    }, opts);
  }
  // A photo of the latest frame written to imgPath (a path on the service's
  // machine).  The reply's "base64" is the photo, "" when none was written.
  cameraCapture(imgPath, opts = {}) {
    if (typeof imgPath !== 'string' || imgPath === '')
      return this._invalid('imgPath must be a non-empty string');
    return this.request('CameraCapture', { imgPath }, { timeout: this.captureTimeout, ...opts, match: imgPath });
  }
  // Switches the preview on: 'frame' events follow.  Resolves once sent.
  startPreview() {
    return this.request('GetCameraVideoBuff', {}, { reply: false });
  }
  // The service posts the files (paths on its machine; an array or a text
  // joined by "|") to url.  Resolves once sent: the result is printed by
  // the service, never sent back.
  uploadFile(url, paths) {
    const filepath = Array.isArray(paths) ? paths.join('|') : paths;
    if (typeof url !== 'string' || !/^https?:\/\/./i.test(url))
      return this._invalid('url must be an http or https address');
    if (typeof filepath !== 'string' || filepath === '')
      return this._invalid('no file to upload');
    return this.request('UploadFile', { url, filepath }, { reply: false });
  }

  // Any request: type, then the members of fields in order.  opts: timeout
  // (ms), reply (false: resolve once sent).  The reply is the first message
  // whose "func" is type that no earlier call claims.
  request(type, fields = {}, opts = {}) {
    let text = '{"type":' + JSON.stringify(String(type));
    for (const [key, value] of Object.entries(fields)) text += ',' + JSON.stringify(key) + ':' + JSON.stringify(value);
    text += '}';
    if (new TextEncoder().encode(text).length >= MAX_MESSAGE_BYTES)
      return this._invalid(`a request must be shorter than ${MAX_MESSAGE_BYTES} bytes`);
    const ws = this._ws;
    if (this._state !== 'open' || !ws)
      return Promise.reject(new KobixError('not-connected', `not connected to ${this.url} (${this._state})`));
    if (opts.reply === false) {
      ws.send(text);
      return Promise.resolve();
    }
    let queue = this._pending.get(type);
    if (!queue) this._pending.set(type, (queue = []));
    if (queue.length >= this.maxPending)
      return Promise.reject(new KobixError('busy', `${queue.length} ${type} calls wait already`));
    return new Promise((resolve, reject) => {
      const entry = { resolve, reject, match: opts.match, late: false, timer: null };
      const timeout = opts.timeout ?? this.timeout;
      entry.timer = setTimeout(() => {
        // The reply may still come: the entry stays a while to take it, so
        // that it is not handed to a later call.
        entry.late = true;
        entry.timer = setTimeout(() => this._remove(type, entry), this.lateReplyMs);
        reject(new KobixError('timeout', `no ${type} reply within ${timeout} ms`));
      }, timeout);
      queue.push(entry);
      ws.send(text);
    });
  }

  // ---- preview frames -----------------------------------------------------

  // An object URL of the frame.  The client keeps one: making another
  // revokes the one before, and so do revokeFrameURL() and close().
  frameURL(frame) {
    this.revokeFrameURL();
    this._frameURL = URL.createObjectURL(frame.blob());
    return this._frameURL;
  }
  revokeFrameURL() {
    if (this._frameURL) URL.revokeObjectURL(this._frameURL);
    this._frameURL = null;
  }

  // ---- internals ----------------------------------------------------------

  _invalid(message) {
    return Promise.reject(new KobixError('invalid', message));
  }

  _setState(state, detail) {
    this._state = state;
    this.dispatchEvent(new CustomEvent('state', { detail: { state, url: this.url, ...detail } }));
  }

  _open() {
    let ws;
    this._setState('connecting', { attempt: this._attempt + 1 });
    try {
      ws = new this._WebSocket(this.url);
    } catch (err) {
      this._ws = null;
      this._lost(String(err && err.message || err));
      return;
    }
    this._ws = ws;
    ws.onopen = () => {
      this._attempt = 0;
      this._setState('open', {});
    };
    ws.onmessage = (e) => this._onMessage(e.data);
    ws.onerror = () => { /* a close follows */ };
    ws.onclose = (e) => {
      if (this._ws !== ws) return;
      this._ws = null;
      this._lost(`connection closed (${e.code})`);
    };
  }

  _lost(reason) {
    this._failAll('connection-lost', `connection to ${this.url} lost: ${reason}`);
    this._frameTimes.length = 0;
    if (!this.reconnect) {
      this._setState('idle', { reason });
      return;
    }
    const delay = Math.min(this.maxDelay, this.minDelay * 2 ** Math.min(this._attempt, 20));
    ++this._attempt;
    this._setState('waiting', { reason, attempt: this._attempt, delay });
    this._retryTimer = setTimeout(() => {
      this._retryTimer = null;
      this._open();
    }, delay);
  }

  _failAll(code, message) {
    const pending = this._pending;
    this._pending = new Map();
    for (const queue of pending.values()) {
      for (const entry of queue) {
        clearTimeout(entry.timer);
        if (!entry.late) entry.reject(new KobixError(code, message));
      }
    }
  }

  _remove(type, entry) {
    const queue = this._pending.get(type);
    const at = queue ? queue.indexOf(entry) : -1;
    if (at >= 0) queue.splice(at, 1);
  }

  _onMessage(data) {
    if (typeof data !== 'string') {
      this.dispatchEvent(new CustomEvent('message', { detail: data }));
      return;
    }
    let msg;
    try {
      msg = JSON.parse(data);
    } catch (_) {
      this.dispatchEvent(new CustomEvent('message', { detail: data }));
      return;
    }
    const func = msg && msg.func;
    if (func === 'GetCameraVideoBuff' && typeof msg.imgBase64Str === 'string') {
      const now = performance.now();
      this._frameTimes.push(now);
      if (this._frameTimes.length > 64) this._frameTimes.splice(0, this._frameTimes.length - 64);
      const frame = new PreviewFrame(msg.imgBase64Str, ++this._frameCount, now);
      this.dispatchEvent(new CustomEvent('frame', { detail: frame }));
      return;
    }
    const queue = this._pending.get(func);
    let at = queue && queue.length ? 0 : -1;
    // A photo names its path: it answers the call for that path only.
    if (at === 0 && func === 'CameraCapture' && typeof msg.reqId === 'string')
      at = queue.findIndex((e) => e.match === msg.reqId);
    if (at < 0) {
      this.dispatchEvent(new CustomEvent('message', { detail: msg }));
      return;
    }
    const [entry] = queue.splice(at, 1);
    clearTimeout(entry.timer);
    if (entry.late) this.dispatchEvent(new CustomEvent('latereply', { detail: msg }));
    else entry.resolve(msg);
  }
}
