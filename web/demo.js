// The demo page: everything goes through kobix-camera.js.
//
// On every connection (the first, and each after the service came back) the
// page lists the cameras, starts the chosen camera at the chosen resolution,
// sends its picture settings and switches the preview on: a service that
// lost its page closes the camera, and a new page must start it again.
import { KobixCamera, describeCameras, base64ToBlob } from './kobix-camera.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const cam = new KobixCamera({ url: params.get('service') || undefined });

const MAX_THUMBS = 8;
const MAX_LOG = 40;

const ui = {
  banner: $('banner'), canvas: $('preview'), note: $('preview-note'), fps: $('fps'), frames: $('frame-count'),
  camera: $('camera'), resolution: $('resolution'), imageType: $('image-type'), rotate: $('rotate'),
  crop: $('crop'), fillBorder: $('fill-border'), removeForeign: $('remove-foreign'),
  photoPath: $('photo-path'), capture: $('capture'), thumbs: $('thumbs'),
  uploadForm: $('upload-form'), uploadUrl: $('upload-url'), uploadPaths: $('upload-paths'), log: $('log'),
};

function log(text, isError = false) {
  const li = document.createElement('li');
  li.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  if (isError) li.className = 'error';
  ui.log.prepend(li);
  while (ui.log.children.length > MAX_LOG) ui.log.lastChild.remove();
}

// ---- connection -------------------------------------------------------------

let cameras = { names: [], resolutions: [] };
let setupRun = 0;  // a newer connection makes an older setup stop
// A photo is of the latest frame the service holds: after the camera was
// started again it stays the frame from before until a new one came, so
// photos wait for the next preview frame.
let frameSinceStart = false;
let capturing = false;

cam.addEventListener('state', (e) => {
  const { state, delay, reason } = e.detail;
  ui.banner.className = `banner ${state}`;
  ui.banner.dataset.state = state;
  if (state === 'connecting') {
    ui.banner.textContent = `Connecting to the camera service (${cam.url})…`;
  } else if (state === 'open') {
    ui.banner.textContent = `Connected to the camera service (${cam.url})`;
    setup();
  } else if (state === 'waiting') {
    ui.banner.textContent = `Camera service not reachable at ${cam.url}; trying again in ${(delay / 1000).toFixed(1)} s. Is kobix-web running (make run)?`;
    ui.note.hidden = false;
    ui.note.textContent = 'No connection to the camera service.';
    if (reason && !reason.includes('1006')) log(reason, true);
  } else {
    ui.banner.textContent = `Not connected (${state})`;
  }
  if (state !== 'open') frameSinceStart = false;
  updateCaptureButton();
});

async function setup() {
  const run = ++setupRun;
  try {
    // First the list: it also closes a camera left running by a page that
    // went away, so the camera is started afresh below.
    await refreshCameras(false);
    if (run !== setupRun) return;
    if (cameras.names.length) await startCamera();
    if (run !== setupRun) return;
    await sendPictureSettings();
    await cam.startPreview();
    log('Preview requested');
  } catch (err) {
    log(`Setting up the camera failed: ${err.message}`, true);
  }
}

// ---- cameras and resolutions -----------------------------------------------

function fillSelect(select, labels) {
  const keep = select.selectedIndex;
  select.replaceChildren(...labels.map((text, i) => new Option(text, String(i))));
  select.disabled = labels.length === 0;
  if (keep >= 0 && keep < labels.length) select.selectedIndex = keep;
}

// Reads the lists; with restart, starts the camera again when they changed.
async function refreshCameras(restart) {
  const next = describeCameras(await cam.getCameraInfo());
  const changed = JSON.stringify(next) !== JSON.stringify(cameras);
  cameras = next;
  if (!changed) return;
  fillSelect(ui.camera, cameras.names.length ? cameras.names : []);
  fillSelect(ui.resolution, cameras.resolutions.map((r) => (r.width ? `${r.width} × ${r.height}` : r.text)));
  if (!cameras.names.length) {
    ui.note.hidden = false;
    ui.note.textContent = 'No camera attached.';
  }
  log(cameras.names.length ? `Cameras: ${cameras.names.join(', ')}` : 'No camera attached');
  if (restart && cameras.names.length) {
    await startCamera();
    await cam.startPreview();
  }
}

function updateCaptureButton() {
  ui.capture.disabled = cam.state !== 'open' || !frameSinceStart || capturing;
}

async function startCamera() {
  const devNum = Math.max(0, ui.camera.selectedIndex);
  const resolutionNum = Math.max(0, ui.resolution.selectedIndex);
  frameSinceStart = false;
  updateCaptureButton();
  await cam.setCameraInfo(devNum, resolutionNum);
  frameSinceStart = false;
  const r = cameras.resolutions[resolutionNum];
  log(`Started ${cameras.names[devNum] || 'camera ' + devNum}${r ? ' at ' + r.text : ''}`);
}

ui.camera.addEventListener('change', () => startCamera().catch((err) => log(err.message, true)));
ui.resolution.addEventListener('change', () => startCamera().catch((err) => log(err.message, true)));

// Cameras plugged in or out while the page is open.
setInterval(() => {
  if (cam.state === 'open') refreshCameras(true).catch(() => { /* shown by the banner */ });
}, 5000);

// ---- picture settings --------------------------------------------------------

function pictureSettings() {
  return {
    imageType: Number(ui.imageType.value),
    cropType: ui.crop.checked ? 1 : 0,
    fillBorderType: ui.fillBorder.checked ? 1 : 0,
    removalForeign: ui.removeForeign.checked ? 1 : 0,
    rotate: Number(ui.rotate.value),
  };
}

async function sendPictureSettings() {
  const reply = await cam.setCameraImageInfo(pictureSettings());
  if (reply.result !== 0) log(`Picture settings refused (result ${reply.result})`, true);
}

for (const el of [ui.imageType, ui.rotate, ui.crop, ui.fillBorder, ui.removeForeign]) {
  el.addEventListener('change', () => sendPictureSettings().catch((err) => log(err.message, true)));
}

// ---- preview -----------------------------------------------------------------

const ctx = ui.canvas.getContext('2d');
let framesShown = 0;    // frames received for the canvas (data-frames)
let picturesDrawn = 0;  // new pictures drawn on it (data-pictures)
let latest = null;      // the newest frame not drawn yet (older ones are skipped)
let drawing = false;
let lastText = '';

cam.addEventListener('frame', (e) => {
  if (!frameSinceStart) {
    frameSinceStart = true;
    updateCaptureButton();
  }
  ui.canvas.dataset.frames = String(++framesShown);
  latest = e.detail;
  if (!drawing) drawFrames();
});

async function drawFrames() {
  drawing = true;
  while (latest) {
    const frame = latest;
    latest = null;
    // The service repeats a picture between decodes: nothing to draw.
    if (frame.base64 !== lastText) {
      let bitmap;
      try {
        bitmap = await frame.bitmap();
      } catch (err) {
        log(`A preview frame could not be decoded: ${err.message}`, true);
        continue;
      }
      if (ui.canvas.width !== bitmap.width || ui.canvas.height !== bitmap.height) {
        ui.canvas.width = bitmap.width;
        ui.canvas.height = bitmap.height;
      }
      ctx.drawImage(bitmap, 0, 0);
      bitmap.close();
      lastText = frame.base64;
      ui.canvas.dataset.pictures = String(++picturesDrawn);
    }
    ui.note.hidden = true;
  }
  drawing = false;
}

setInterval(() => {
  ui.fps.textContent = cam.fps.toFixed(1);
  ui.frames.textContent = String(framesShown);
}, 500);

// ---- photos --------------------------------------------------------------------

ui.photoPath.value = '/tmp/kobix-photo-1.jpg';
const photos = [];  // paths of the photos taken, newest last
let uploadPathsEdited = false;
ui.uploadPaths.addEventListener('input', () => { uploadPathsEdited = ui.uploadPaths.value !== ''; });

// "/tmp/kobix-photo-7.jpg" -> "/tmp/kobix-photo-8.jpg"
function nextPath(path) {
  const m = /^(.*?)(\d+)(\.[A-Za-z0-9]+)?$/.exec(path);
  if (m) return `${m[1]}${Number(m[2]) + 1}${m[3] || ''}`;
  const dot = path.lastIndexOf('.');
  return dot > path.lastIndexOf('/') ? `${path.slice(0, dot)}-2${path.slice(dot)}` : `${path}-2`;
}

function addThumbnail(path, base64) {
  const url = URL.createObjectURL(base64ToBlob(base64));
  const figure = document.createElement('figure');
  const img = new Image();
  const caption = document.createElement('figcaption');
  img.alt = path;
  img.title = path;
  img.dataset.path = path;
  img.onload = () => { caption.textContent = `${img.naturalWidth} × ${img.naturalHeight}`; };
  img.src = url;
  figure.dataset.url = url;
  caption.textContent = path.split('/').pop();
  figure.append(img, caption);
  ui.thumbs.prepend(figure);
  while (ui.thumbs.children.length > MAX_THUMBS) {
    const old = ui.thumbs.lastChild;
    URL.revokeObjectURL(old.dataset.url);
    old.remove();
  }
}

ui.capture.addEventListener('click', async () => {
  const path = ui.photoPath.value.trim();
  if (!path || capturing) return;
  capturing = true;
  updateCaptureButton();
  try {
    const reply = await cam.cameraCapture(path);
    if (!reply.base64) {
      log(`No photo written to ${path} (no picture yet, or the path cannot be written)`, true);
      return;
    }
    addThumbnail(path, reply.base64);
    log(`Photo saved to ${path}`);
    photos.push(path);
    if (photos.length > MAX_THUMBS) photos.shift();
    if (!uploadPathsEdited) ui.uploadPaths.value = photos.join('|');
    ui.photoPath.value = nextPath(path);
  } catch (err) {
    log(`Photo failed: ${err.message}`, true);
  } finally {
    capturing = false;
    updateCaptureButton();
  }
});

// ---- upload ----------------------------------------------------------------------

ui.uploadForm.addEventListener('submit', async (e) => {
  e.preventDefault();
  const url = ui.uploadUrl.value.trim();
  const paths = ui.uploadPaths.value.split('|').map((p) => p.trim()).filter(Boolean);
  try {
    await cam.uploadFile(url, paths);
    log(`Upload of ${paths.length} file(s) to ${url} handed to the service (it prints the result; no reply comes back)`);
  } catch (err) {
    log(`Upload not sent: ${err.message}`, true);
  }
});
