'use strict';
// The studio page: decodes songs in the browser, uploads them one at a time,
// follows the server's queue and plays the results.

const queueList = document.getElementById('queue');
const songs = [];  // {file, row, state, serverId, upload, cancelled, times}

// True for a WAV that duostem reads as it is: 44100 Hz, one or two channels,
// 16-bit integer or 32-bit float, with a data chunk. Such a file goes up byte
// for byte and duostem judges the rest; anything else is decoded here.
function duostemReads(bytes) {
  const view = new DataView(bytes);
  const id = (at) => String.fromCharCode(...new Uint8Array(bytes, at, 4));
  if (bytes.byteLength < 20 || id(0) !== 'RIFF' || id(8) !== 'WAVE') return false;
  let fmt = null, data = false;
  for (let at = 12; at + 8 <= bytes.byteLength;) {
    const size = view.getUint32(at + 4, true);
    if (id(at) === 'data') data = true;
    if (size > bytes.byteLength - at - 8) break;
    if (id(at) === 'fmt ' && size >= 16) fmt = at + 8;
    at += 8 + size + (size & 1);
  }
  if (fmt === null || !data) return false;
  const tag = view.getUint16(fmt, true), channels = view.getUint16(fmt + 2, true);
  const rate = view.getUint32(fmt + 4, true), bits = view.getUint16(fmt + 14, true);
  return rate === 44100 && (channels === 1 || channels === 2) &&
         ((tag === 1 && bits === 16) || (tag === 3 && bits === 32));
}

// A stereo 32-bit float WAV (format tag 3) of the rendered buffer.
function floatWav(buffer) {
  const frames = buffer.length, bytes = frames * 8;
  const out = new DataView(new ArrayBuffer(44 + bytes));
  const text = (at, s) => [...s].forEach((c, i) => out.setUint8(at + i, c.charCodeAt(0)));
  text(0, 'RIFF'); out.setUint32(4, 36 + bytes, true); text(8, 'WAVE');
  text(12, 'fmt '); out.setUint32(16, 16, true); out.setUint16(20, 3, true); out.setUint16(22, 2, true);
  out.setUint32(24, 44100, true); out.setUint32(28, 44100 * 8, true); out.setUint16(32, 8, true);
  out.setUint16(34, 32, true); text(36, 'data'); out.setUint32(40, bytes, true);
  const left = buffer.getChannelData(0), right = buffer.getChannelData(1);
  for (let i = 0, at = 44; i < frames; ++i, at += 8) {
    out.setFloat32(at, left[i], true);
    out.setFloat32(at + 4, right[i], true);
  }
  return new Blob([out.buffer], {type: 'audio/wav'});
}

// Any format the browser plays, as 44.1 kHz stereo: decoded at the offline
// context's rate, then rendered so that mono spreads over both channels.
async function decodeToWav(file) {
  const decoded = await new OfflineAudioContext(2, 1, 44100).decodeAudioData(await file.arrayBuffer());
  const context = new OfflineAudioContext(2, Math.max(1, decoded.length), 44100);
  const source = context.createBufferSource();
  source.buffer = decoded;
  source.connect(context.destination);
  source.start();
  return floatWav(await context.startRendering());
}

function setState(song, state, progress) {
  song.state = state;
  song.row.className = 'song ' + state;
  song.row.querySelector('.state').textContent = state;
  if (progress !== undefined) song.row.querySelector('.fill').style.width = (progress * 100).toFixed(1) + '%';
  song.row.querySelector('.cancel').disabled = finished(state);
}

function addSong(file) {
  const row = document.getElementById('song-row').content.firstElementChild.cloneNode(true);
  row.querySelector('.name').textContent = file.name;
  queueList.append(row);
  const song = {file, row, serverId: null, upload: null, cancelled: false, times: {}};
  row.querySelector('.cancel').addEventListener('click', () => cancel(song));
  songs.push(song);
  setState(song, 'waiting', 0);
  return song;
}

async function cancel(song) {
  song.cancelled = true;
  if (song.serverId !== null) {
    await fetch(`/api/songs/${song.serverId}/cancel`, {method: 'POST'});
  } else {
    setState(song, 'cancelled');
  }
}

// Songs are decoded and uploaded one after another, in the order dropped.
let feeding = false;
async function feed() {
  if (feeding) return;
  feeding = true;
  for (let song; (song = songs.find((s) => s.state === 'waiting' && s.serverId === null && !s.cancelled));) {
    try {
      setState(song, 'decoding');
      let started = performance.now();
      const bytes = await song.file.arrayBuffer();
      song.upload = duostemReads(bytes) ? new Blob([bytes], {type: 'audio/wav'}) : await decodeToWav(song.file);
      song.times.decoding = performance.now() - started;
      if (song.cancelled) { setState(song, 'cancelled'); continue; }
      setState(song, 'uploading');
      started = performance.now();
      const answer = await fetch('/api/songs?name=' + encodeURIComponent(song.file.name),
                                 {method: 'POST', body: song.upload});
      if (!answer.ok) throw new Error(answer.status === 413 ? 'too large for this studio' : `upload refused (${answer.status})`);
      song.serverId = (await answer.json()).id;
      song.times.upload = performance.now() - started;
      song.times.separationStart = performance.now();
      setState(song, 'waiting');
      if (song.cancelled) await cancel(song);
      poll();
    } catch (error) {
      setState(song, 'failed');
      song.row.querySelector('.message').textContent = error.message || String(error);
    }
  }
  feeding = false;
}

const finished = (state) => ['done', 'failed', 'cancelled'].includes(state);

// Follows the server's queue while any uploaded song is unfinished, including
// one uploaded while a poll was under way.
let polling = false;
async function poll() {
  if (polling) return;
  polling = true;
  try {
    while (songs.some((s) => s.serverId !== null && !finished(s.state))) {
      const state = await (await fetch('/api/state')).json();
      for (const entry of state.songs) {
        const song = songs.find((s) => s.serverId === entry.id);
        if (!song || finished(song.state)) continue;
        const network = entry.networks > 1 ? ` (network ${entry.network}/${entry.networks})` : '';
        setState(song, entry.state, entry.progress);
        if (entry.state === 'separating') song.row.querySelector('.state').textContent = 'separating' + network;
        if (entry.state === 'failed') song.row.querySelector('.message').textContent = entry.message;
        if (entry.state === 'done') {
          song.times.separation = performance.now() - song.times.separationStart;
          showPlayers(song, entry);
        }
      }
      await new Promise((resolve) => setTimeout(resolve, 250));
    }
  } finally {
    polling = false;
  }
}

// The three players of a finished song share one position: play on any of
// them starts it where the others are, so the listener switches at the same moment.
function showPlayers(song, entry) {
  const tracks = [
    {label: 'Mix', url: URL.createObjectURL(song.upload), file: song.file.name.replace(/\.[^.]*$/, '') + '.wav'},
    {label: 'Vocals', url: `/api/songs/${entry.id}/vocals`, file: entry.vocals},
    {label: 'Instrumental', url: `/api/songs/${entry.id}/instrumental`, file: entry.instrumental},
  ];
  const players = song.row.querySelector('.players');
  let position = 0, playing = null;
  let ready = 0;
  const readyStarted = performance.now();
  const all = tracks.map((track) => {
    const row = document.getElementById('track-row').content.firstElementChild.cloneNode(true);
    row.querySelector('.label').textContent = track.label;
    const link = row.querySelector('.download');
    link.href = track.label === 'Mix' ? track.url : track.url + '?download=1';
    link.download = track.file;
    row.dataset.stem = track.label.toLowerCase();
    players.append(row);
    const wave = WaveSurfer.create({container: row.querySelector('.wave'), url: track.url, height: 48,
                                   waveColor: '#9fb4dc', progressColor: '#2f6fdf', cursorColor: '#1d1f24'});
    wave.on('ready', (duration) => {
      row.dataset.duration = duration;
      if (++ready === tracks.length) {
        song.times.players = performance.now() - readyStarted;
        showTimes(song);
      }
    });
    wave.on('timeupdate', (time) => {
      if (playing !== wave) return;
      position = time;
      for (const other of all) if (other.wave !== wave) other.wave.setTime(time);
    });
    wave.on('interaction', (time) => {
      position = time;
      for (const other of all) if (other.wave !== wave) other.wave.setTime(time);
    });
    wave.on('finish', () => { playing = null; mark(); });
    row.querySelector('.play').addEventListener('click', () => {
      if (playing === wave) {
        wave.pause();
        playing = null;
      } else {
        if (playing) { position = playing.getCurrentTime(); playing.pause(); }
        wave.setTime(position);
        wave.play();
        playing = wave;
      }
      mark();
    });
    return {wave, row};
  });
  const mark = () => all.forEach(({wave, row}) => {
    row.classList.toggle('active', wave === playing);
    row.querySelector('.play').textContent = wave === playing ? 'Pause' : 'Play';
  });
}

function showTimes(song) {
  const s = (ms) => (ms / 1000).toFixed(1) + ' s';
  const t = song.times;
  song.row.querySelector('.timing').textContent =
      `decoded in ${s(t.decoding)}, uploaded in ${s(t.upload)}, separated in ${s(t.separation)}, players ready in ${s(t.players)}`;
  song.row.dataset.times = JSON.stringify(t);
}

function take(files) {
  for (const file of files) addSong(file);
  feed();
}

const drop = document.getElementById('drop');
const input = document.getElementById('files');
input.addEventListener('change', () => { take([...input.files]); input.value = ''; });
drop.addEventListener('dragover', (event) => { event.preventDefault(); drop.classList.add('over'); });
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  take([...event.dataTransfer.files]);
});

fetch('/api/state').then((answer) => answer.json()).then((state) => {
  document.getElementById('model').textContent = state.models.length ? state.models.join(', ')
      : 'none found (no models/vocals.onnx here or beside duostem)';
  document.getElementById('overlap').textContent = state.overlap;
  document.getElementById('out-dir').textContent = state.outDir;
});
