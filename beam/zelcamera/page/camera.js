// The camera page: maps arrive over a WebSocket as binary frames and are drawn on a canvas; the
// status document is polled for the meters, the capture's health and the settings in force.
'use strict';

const HEADER_BYTES = 96;
const BANDS = { 0: 'bin', 1: 'octave', 3: 'third' };
const el = (id) => document.getElementById(id);

const state = {
  frame: null,        // the latest map: header fields and values
  rangeDb: 15,
  arrivals: [],       // times of the maps received in the last two seconds
  microphones: [],
  editing: false,     // a settings field has focus: the status poll leaves it alone
};

// A perceptually ordered map from dark blue through green to yellow and white.
const STOPS = [
  [0.0, [12, 7, 80]], [0.25, [40, 70, 170]], [0.5, [30, 160, 130]],
  [0.75, [230, 200, 40]], [1.0, [255, 255, 240]],
];
function colour(t) {
  t = Math.min(1, Math.max(0, t));
  for (let k = 1; k < STOPS.length; k++) {
    const [t1, c1] = STOPS[k];
    const [t0, c0] = STOPS[k - 1];
    if (t <= t1) {
      const u = (t - t0) / (t1 - t0);
      return c0.map((v, i) => Math.round(v + u * (c1[i] - v)));
    }
  }
  return STOPS[STOPS.length - 1][1];
}

function parseFrame(buffer) {
  const v = new DataView(buffer);
  const tag = String.fromCharCode(v.getUint8(0), v.getUint8(1), v.getUint8(2), v.getUint8(3));
  if (tag !== 'ZMAP' || buffer.byteLength < HEADER_BYTES) return null;
  const nx = v.getUint32(4, true);
  const ny = v.getUint32(8, true);
  if (buffer.byteLength !== HEADER_BYTES + 4 * nx * ny) return null;
  const f = (k) => v.getFloat64(16 + 8 * k, true);
  return {
    nx, ny, band: BANDS[v.getUint32(12, true)] || 'bin',
    freq: f(0), time: f(1),
    peak: { x: f(2), y: f(3), z: f(4), level: f(5) },
    xMin: f(6), yMin: f(7), inc: f(8),
    sequence: v.getUint32(88, true), skips: v.getUint32(92, true),
    values: new Float32Array(buffer, HEADER_BYTES, nx * ny),
  };
}

function draw() {
  const f = state.frame;
  const canvas = el('map');
  const ctx = canvas.getContext('2d');
  if (!f) return;
  const top = f.peak.level;
  const image = new ImageData(f.nx, f.ny);
  // map[i * ny + j] is at x_min + i inc, y_min + j inc: x to the right, y up.
  for (let i = 0; i < f.nx; i++) {
    for (let j = 0; j < f.ny; j++) {
      const t = 1 - (top - f.values[i * f.ny + j]) / state.rangeDb;
      const c = t < 0 ? [0, 0, 0] : colour(t);
      const p = 4 * ((f.ny - 1 - j) * f.nx + i);
      image.data[p] = c[0]; image.data[p + 1] = c[1]; image.data[p + 2] = c[2];
      image.data[p + 3] = 255;
    }
  }
  const off = new OffscreenCanvas(f.nx, f.ny);
  off.getContext('2d').putImageData(image, 0, 0);
  ctx.imageSmoothingEnabled = true;
  ctx.drawImage(off, 0, 0, canvas.width, canvas.height);
  drawOverlay(ctx, f, canvas);
  drawScale(top);
}

// Metres to canvas pixels: the grid's points sit at the centres of its cells.
function toCanvas(f, canvas, x, y) {
  const cx = ((x - f.xMin) / f.inc + 0.5) / f.nx * canvas.width;
  const cy = (1 - ((y - f.yMin) / f.inc + 0.5) / f.ny) * canvas.height;
  return [cx, cy];
}

function drawOverlay(ctx, f, canvas) {
  ctx.strokeStyle = 'rgba(255,255,255,0.8)';
  ctx.lineWidth = 1;
  for (const m of state.microphones) {
    const [x, y] = toCanvas(f, canvas, m.x, m.y);
    ctx.beginPath();
    if (m.left_out) {
      ctx.moveTo(x - 3, y - 3); ctx.lineTo(x + 3, y + 3);
      ctx.moveTo(x + 3, y - 3); ctx.lineTo(x - 3, y + 3);
    } else {
      ctx.arc(x, y, 3, 0, 2 * Math.PI);
    }
    ctx.stroke();
  }
  const [px, py] = toCanvas(f, canvas, f.peak.x, f.peak.y);
  ctx.strokeStyle = '#ff3b3b';
  ctx.lineWidth = 2;
  ctx.beginPath();
  ctx.moveTo(px - 10, py); ctx.lineTo(px + 10, py);
  ctx.moveTo(px, py - 10); ctx.lineTo(px, py + 10);
  ctx.stroke();
}

function drawScale(top) {
  const canvas = el('scale');
  const ctx = canvas.getContext('2d');
  ctx.fillStyle = '#16181c';
  ctx.fillRect(0, 0, canvas.width, canvas.height);
  const h = canvas.height - 20;
  for (let y = 0; y < h; y++) {
    const c = colour(1 - y / h);
    ctx.fillStyle = `rgb(${c[0]},${c[1]},${c[2]})`;
    ctx.fillRect(0, 10 + y, 16, 1);
  }
  ctx.fillStyle = '#e6e6e6';
  ctx.font = '11px sans-serif';
  const steps = 5;
  for (let k = 0; k <= steps; k++) {
    const db = top - (state.rangeDb * k) / steps;
    ctx.fillText(`${db.toFixed(1)} dB`, 20, 14 + (h * k) / steps);
  }
}

function showPeak(f) {
  const p = f.peak;
  el('peak').textContent =
    `x=${p.x.toFixed(3)} y=${p.y.toFixed(3)} z=${p.z.toFixed(3)} m ${p.level.toFixed(1)} dB`;
}

function countArrival() {
  const now = performance.now();
  state.arrivals.push(now);
  while (state.arrivals.length && now - state.arrivals[0] > 2000) state.arrivals.shift();
}

function showFps() {
  const a = state.arrivals;
  const now = performance.now();
  while (a.length && now - a[0] > 2000) a.shift();
  const recent = a.length >= 2 && now - a[a.length - 1] < 1000;
  const fps = recent ? (a.length - 1) / ((a[a.length - 1] - a[0]) / 1000) : 0;
  el('fps').textContent = fps.toFixed(1);
}

let pending = false;
function connect() {
  const ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = 'arraybuffer';
  ws.onmessage = (event) => {
    const f = parseFrame(event.data);
    if (!f) return;
    state.frame = f;
    countArrival();
    showPeak(f);
    if (!pending) {
      pending = true;
      requestAnimationFrame(() => { pending = false; draw(); });
    }
  };
  ws.onclose = () => setTimeout(connect, 1000);
}

function showMeters(levels) {
  const box = el('meters');
  if (box.children.length !== levels.length) {
    box.innerHTML = '';
    levels.forEach((_, c) => {
      const m = document.createElement('div');
      m.className = 'meter';
      m.innerHTML = `<div class="bar"></div><div class="hold"></div><span>${c}</span>`;
      box.appendChild(m);
    });
  }
  // 0 dBFS at the top, -90 dBFS at the bottom.
  const height = (db) => (db === null ? 0 : Math.max(0, Math.min(1, (db + 90) / 90)) * 100);
  levels.forEach((l, c) => {
    const m = box.children[c];
    m.title = `channel ${c}: ${l.rms_dbfs === null ? '-inf' : l.rms_dbfs.toFixed(1)} dBFS`;
    m.classList.toggle('clip', l.clipped);
    m.children[0].style.height = `${height(l.rms_dbfs)}%`;
    m.children[1].style.bottom = `${height(l.peak_dbfs)}%`;
  });
}

function showSettings(s) {
  state.rangeDb = s.range_db;
  if (state.editing) return;
  el('freq').value = s.freq;
  el('band').value = s.band;
  el('window').value = s.window;
  el('range').value = s.range_db;
}

function showStatus(s) {
  el('array').textContent = `array ${s.array.id} at ${s.array.address}, ${s.rate} Hz`;
  showSettings(s);
  showMeters(s.levels);
  const l = s.loss;
  el('lost-host').textContent = l.host_dropped_frames;
  el('lost-network').textContent = l.network_missing_frames;
  el('kernel-drops').textContent = l.kernel_drops;
  el('overflows').textContent = l.overflows;
  el('outages').textContent = l.outages;
  el('skips').textContent = `${s.engine.skips} (${(s.engine.skipped_frames / s.rate).toFixed(2)} s)`;
  el('clients').textContent = s.clients;
  el('priority').textContent = s.capture.priority;
  el('buffer').textContent = `${s.capture.buffer_ms} ms`;
  const warnings = [];
  if (!s.data_flowing) warnings.push('no data from the array');
  if (l.host_warning) warnings.push(l.host_warning);
  if (s.capture.buffer_warning) warnings.push(s.capture.buffer_warning);
  if (state.lastSkips !== undefined && s.engine.skips > state.lastSkips) {
    warnings.push('the map engine fell behind and skipped ahead');
  }
  state.lastSkips = s.engine.skips;
  el('warning').textContent = warnings.join('; ');
}

async function poll() {
  try {
    const r = await fetch('api/status', { cache: 'no-store' });
    if (r.ok) showStatus(await r.json());
  } catch (e) {
    el('warning').textContent = 'zelcamera is not answering';
  }
  setTimeout(poll, 500);
}

async function postSettings(changes) {
  el('error').textContent = '';
  const r = await fetch('api/settings', {
    method: 'POST', headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(changes),
  });
  const body = await r.json();
  if (!r.ok) {
    el('error').textContent = body.error;
    return;
  }
  state.editing = false;
  showSettings(body);
}

function download(blob, name) {
  const a = document.createElement('a');
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

async function snapshot() {
  const stamp = new Date().toISOString().replace(/[:.]/g, '-');
  el('map').toBlob((blob) => download(blob, `zelcamera-${stamp}.png`), 'image/png');
  const r = await fetch('api/map.npy', { cache: 'no-store' });
  if (r.ok) download(await r.blob(), `zelcamera-${stamp}.npy`);
}

function wireControls() {
  for (const id of ['freq', 'window', 'range']) {
    el(id).addEventListener('focus', () => { state.editing = true; });
    el(id).addEventListener('blur', () => { state.editing = false; });
  }
  el('freq').addEventListener('change', () => postSettings({ freq: Number(el('freq').value) }));
  el('band').addEventListener('change', () => postSettings({ band: el('band').value }));
  el('window').addEventListener('change', () => postSettings({ window: Number(el('window').value) }));
  el('range').addEventListener('change', () => postSettings({ range_db: Number(el('range').value) }));
  el('snapshot').addEventListener('click', snapshot);
}

async function start() {
  wireControls();
  try {
    const r = await fetch('api/geometry');
    if (r.ok) state.microphones = (await r.json()).microphones;
  } catch (e) { /* the map is drawn without them */ }
  connect();
  poll();
  setInterval(showFps, 250);
}

start();
