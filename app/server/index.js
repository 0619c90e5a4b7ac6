'use strict';
// The Quorvel server component: serves the page on 127.0.0.1 at PORT, keeps one live
// connection per open page, answers the launcher's ping and quit requests, and runs the
// tools for the page: recordings, document text, text size, updates.

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { refusal } = require('./guard');
const files = require('./files');
const { Recording, OUT_RATE } = require('./recorder');
const { HEADER_BYTES } = require('./wav');
const { Documents } = require('./documents');
const { measureText } = require('./tools');
const updates = require('./updates');

const port = Number(process.env.PORT || 5177);
const version = process.env.QUORVEL_VERSION || '';
const dataDir = process.env.QUORVEL_DATA || path.join(process.cwd(), 'Data');
const support = process.env.QUORVEL_SUPPORT || path.dirname(dataDir);
const contents = process.env.QUORVEL_BUNDLE || '';
const pageDir = path.join(__dirname, 'page');
const launchArgs = (() => {
  try {
    const parsed = JSON.parse(process.env.QUORVEL_LAUNCH_ARGS || '[]');
    return Array.isArray(parsed) ? parsed.map(String) : [];
  } catch {
    return [];
  }
})();

const folders = {
  recordings: path.join(dataDir, 'Recordings'),
  documents: path.join(dataDir, 'Documents'),
  texts: path.join(dataDir, 'Texts'),
  work: path.join(dataDir, '.work'),
};
const MOVABLE = ['Recordings', 'Documents', 'Texts'];
const EXIT_RESTART = 75;
const EXIT_QUIT = 76;

// Open pages, each holding one event stream.
const pages = new Set();
let recording = null;
let quitting = false;
const updateResult = updates.takeResult(dataDir);

function broadcast(event, data) {
  const text = `event: ${event}\ndata: ${JSON.stringify(data)}\n\n`;
  for (const res of pages) res.write(text);
}

const documents = new Documents({
  textsDir: folders.texts,
  pagelift: 'pagelift',
  report: (job) => {
    broadcast('document', job);
    if (job.state === 'done') broadcast('files', {});
  },
});

const liveRecording = () => (recording && recording.live ? recording : null);

function sendJson(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(text),
    'Cache-Control': 'no-store',
  });
  res.end(text);
}

// An answer for a failure the page shows: key names the sentence, detail is for the curious.
const failure = (res, status, key, detail) => sendJson(res, status, { error: key, ...(detail ? { detail } : {}) });

function readJson(req, limit = 65536) {
  return new Promise((resolve, reject) => {
    let body = '';
    req.setEncoding('utf8');
    req.on('data', (chunk) => {
      body += chunk;
      if (body.length > limit) {
        reject(Object.assign(new Error('request body too large'), { status: 413 }));
        req.destroy();
      }
    });
    req.on('end', () => {
      try {
        resolve(body.trim() === '' ? {} : JSON.parse(body));
      } catch {
        reject(Object.assign(new Error('not JSON'), { status: 400 }));
      }
    });
    req.on('error', reject);
  });
}

function openEventStream(req, res) {
  res.writeHead(200, {
    'Content-Type': 'text/event-stream',
    'Cache-Control': 'no-cache',
    'Connection': 'keep-alive',
  });
  // Reconnect soon after a restart of the server, well within the launcher's patience.
  res.write('retry: 500\n\n');
  const live = liveRecording();
  res.write(`event: hello\ndata: ${JSON.stringify({ version, recording: live ? live.summary() : null, update: updateResult })}\n\n`);
  pages.add(res);
  // Comments keep idle proxies and browsers from dropping the stream.
  const keepAlive = setInterval(() => res.write(': keep-alive\n\n'), 15000);
  req.on('close', () => {
    clearInterval(keepAlive);
    pages.delete(res);
  });
}

async function quit(req, res) {
  let force = false;
  try {
    force = (await readJson(req)).force === true;
  } catch (error) {
    failure(res, error.status || 400, 'badRequest', error.message);
    return;
  }
  const live = liveRecording();
  if (live && !force) {
    console.log('quorvel server: quit refused, a recording is live');
    sendJson(res, 409, { recording: true });
    return;
  }
  console.log(`quorvel server: quit requested${force ? ' (forced)' : ''}`);
  sendJson(res, 200, { quitting: true });
  // The launcher waits five seconds for the server to end: the recording gets most of them.
  if (live) await live.stopWithin(4000);
  shutDown(0);
}

function startRecording(req, res) {
  return readJson(req).then((body) => {
    if (body.kind !== 'audio' && body.kind !== 'screen') return failure(res, 400, 'badKind');
    if (liveRecording()) return failure(res, 409, 'busy');
    if (quitting) return failure(res, 503, 'quitting');
    fs.mkdirSync(folders.recordings, { recursive: true });
    recording = new Recording(body.kind, folders.recordings, 'sonacap', (summary) => {
      broadcast('recording', summary);
      if (!['starting', 'picking', 'recording', 'stopping'].includes(summary.state)) {
        if (summary.kind === 'screen' && recording?.recordedSeconds) keepMovieSeconds(summary.name, recording.recordedSeconds);
        broadcast('files', {});
      }
    });
    recording.start();
    sendJson(res, 201, { id: recording.id, name: recording.name });
  });
}

// A movie written in fragments carries no duration in its header; the recorder's own figure
// is kept beside it.
const movieSecondsFile = (name) => path.join(folders.recordings, `.${name}.seconds`);

function keepMovieSeconds(name, seconds) {
  try {
    fs.writeFileSync(movieSecondsFile(name), String(seconds));
  } catch {
    // the list shows no duration then
  }
}

function movieSeconds(name) {
  try {
    return Number(fs.readFileSync(movieSecondsFile(name), 'utf8')) || null;
  } catch {
    return null;
  }
}

function wavSeconds(bytes) {
  return Math.max(0, bytes - HEADER_BYTES) / (OUT_RATE * 4);
}

function listRecordings() {
  return files.list(folders.recordings, (name) => (name.toLowerCase().endsWith('.mp4') ? 'screen' : 'audio'))
    .map((entry) => ({
      ...entry,
      seconds: entry.kind === 'audio' ? wavSeconds(entry.bytes) : movieSeconds(entry.name),
      live: liveRecording()?.name === entry.name,
    }));
}

async function addDocument(req, res, query) {
  const name = files.safeName(query.get('name') || '');
  if (!name) return failure(res, 400, 'badName');
  const stored = await files.receiveUpload(req, folders.documents, name);
  const job = documents.add(path.join(folders.documents, stored), stored);
  sendJson(res, 201, { id: job.id, name: stored });
}

async function measure(req, res, query) {
  const name = files.safeName(query.get('name') || '');
  if (!name) return failure(res, 400, 'badName');
  fs.mkdirSync(folders.work, { recursive: true });
  const work = fs.mkdtempSync(path.join(folders.work, 'measure-'));
  let entry;
  try {
    const stored = await files.receiveUpload(req, work, name);
    [entry] = await measureText('glyphgauge', [path.join(work, stored)]);
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
  sendJson(res, 200, { name, lines: entry.lines, big: entry.big });
}

function deleteFile(res, folder, name) {
  const file = files.inside(folder, name);
  if (!file) return failure(res, 400, 'badName');
  if (liveRecording()?.file === file) return failure(res, 409, 'busy');
  try {
    fs.unlinkSync(file);
  } catch {
    return failure(res, 404, 'notFound');
  }
  if (folder === folders.recordings) fs.rmSync(movieSecondsFile(path.basename(file)), { force: true });
  broadcast('files', {});
  return sendJson(res, 200, { deleted: name });
}

async function moveData(req, res) {
  const body = await readJson(req);
  if (liveRecording()) return failure(res, 409, 'busy');
  const target = updates.moveDataFolder({ dataDir, support, target: body.path, movable: MOVABLE });
  sendJson(res, 200, { dataDir: target, restarting: true });
  console.log(`quorvel server: data folder moved to ${target}, restarting`);
  setTimeout(() => shutDown(EXIT_RESTART), 100);
}

// The update last checked, kept unpacked so that installing it right after does not unpack
// the archive a second time: the download as it was then, and what was found in it.
let checked = null;

function downloadStamp(download) {
  try {
    const stat = fs.statSync(download);
    return `${download}\0${stat.size}\0${stat.mtimeMs}`;
  } catch {
    return null;
  }
}

async function update(req, res, install) {
  const body = await readJson(req);
  const stamp = typeof body.path === 'string' ? downloadStamp(body.path) : null;
  const reused = install && checked && stamp && checked.stamp === stamp && fs.existsSync(checked.found.bundle);
  const found = reused ? checked.found : updates.findBundle(body.path, path.join(folders.work, 'update'));
  checked = install ? null : { stamp, found };
  const current = updates.plistValue(path.join(contents, 'Info.plist'), 'CFBundleIdentifier');
  if (!install) {
    return sendJson(res, 200, { version: found.version, identifier: found.identifier, current: version, matches: found.identifier === current });
  }
  if (liveRecording()) return failure(res, 409, 'busy');
  if (!contents) return failure(res, 409, 'noBundle');
  await updates.startInstaller({ contents, dataDir, update: found, launcherPid: process.ppid, launchArgs });
  sendJson(res, 202, { installing: found.version });
  console.log(`quorvel server: installing ${found.version}, quitting for the installer`);
  setTimeout(() => shutDown(EXIT_QUIT), 100);
  return undefined;
}

const STATIC = { 'app.js': 'text/javascript', 'style.css': 'text/css', 'strings.js': 'text/javascript' };

function servePage(res, name) {
  const type = name === 'index.html' ? 'text/html' : STATIC[name];
  if (!type) return failure(res, 404, 'notFound');
  res.writeHead(200, {
    'Content-Type': `${type}; charset=utf-8`,
    'Cache-Control': 'no-cache',
    'X-Content-Type-Options': 'nosniff',
    'Content-Security-Policy': "default-src 'self'; img-src 'self' blob: data:; media-src 'self'; style-src 'self'; script-src 'self'; frame-ancestors 'none'",
  });
  return res.end(fs.readFileSync(path.join(pageDir, name)));
}

async function route(req, res) {
  const url = new URL(req.url, 'http://localhost');
  const parts = url.pathname.split('/').slice(1);
  const method = req.method;
  const at = (m, p) => method === m && url.pathname === p;
  if (at('GET', '/api/ping')) return sendJson(res, 200, { service: 'quorvel', version, pages: pages.size });
  if (at('POST', '/api/quit')) return quit(req, res);
  if (at('GET', '/api/events')) return openEventStream(req, res);
  if (at('GET', '/') || at('GET', '/index.html')) return servePage(res, 'index.html');
  if (method === 'GET' && parts[0] === 'page' && parts.length === 2) return servePage(res, parts[1]);
  if (at('POST', '/api/recordings')) return startRecording(req, res);
  if (at('POST', '/api/recordings/current/stop')) {
    const live = liveRecording();
    if (!live) return failure(res, 404, 'notRecording');
    live.stop();
    return sendJson(res, 200, live.summary());
  }
  if (at('GET', '/api/recordings')) return sendJson(res, 200, listRecordings());
  if (at('GET', '/api/recordings/current')) return sendJson(res, 200, liveRecording()?.summary() ?? null);
  if (at('GET', '/api/texts')) return sendJson(res, 200, files.list(folders.texts, () => 'text'));
  if (method === 'DELETE' && parts[0] === 'api' && parts.length === 3 && ['recordings', 'texts'].includes(parts[1])) {
    return deleteFile(res, folders[parts[1]], decodeURIComponent(parts[2]));
  }
  if (method === 'GET' && parts[0] === 'files' && parts.length === 3 && ['recordings', 'texts'].includes(parts[1])) {
    const file = files.inside(folders[parts[1]], decodeURIComponent(parts[2]));
    if (!file) return failure(res, 400, 'badName');
    return files.serveFile(req, res, file, url.searchParams.has('download'));
  }
  if (at('POST', '/api/documents')) return addDocument(req, res, url.searchParams);
  if (method === 'GET' && parts[0] === 'api' && parts[1] === 'documents' && parts.length === 3) {
    const job = documents.get(parts[2]);
    return job ? sendJson(res, 200, documents.view(job)) : failure(res, 404, 'notFound');
  }
  if (at('POST', '/api/measure')) return measure(req, res, url.searchParams);
  if (at('GET', '/api/settings')) {
    return sendJson(res, 200, { dataDir, support, version, canUpdate: Boolean(contents), uploadLimit: files.UPLOAD_LIMIT });
  }
  if (at('POST', '/api/settings/data-folder')) return moveData(req, res);
  if (at('POST', '/api/update/check')) return update(req, res, false);
  if (at('POST', '/api/update/install')) return update(req, res, true);
  return failure(res, 404, 'notFound');
}

function handle(req, res) {
  const refused = refusal(req, port);
  if (refused) {
    req.resume();
    sendJson(res, refused.status, { error: refused.error });
    return;
  }
  let handled;
  try {
    handled = Promise.resolve(route(req, res));
  } catch (error) {
    handled = Promise.reject(error);
  }
  handled.catch((error) => {
    if (res.headersSent) {
      res.destroy();
      return;
    }
    if (!error.status) console.error(`quorvel server: ${req.method} ${req.url}: ${error.stack || error}`);
    failure(res, error.status || 500, error.status ? error.message : 'internal', error.detail || (error.status ? undefined : error.message));
  });
}

// A request without Host is refused by the guard, with the same answer as a foreign one.
const server = http.createServer({ requireHostHeader: false }, handle);

function shutDown(status) {
  quitting = true;
  liveRecording()?.abandon();
  for (const res of pages) res.end();
  server.close();
  process.exit(status);
}

for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
  process.on(signal, () => {
    console.log(`quorvel server: ${signal}, shutting down`);
    shutDown(0);
  });
}

server.on('error', (error) => {
  console.error(`quorvel server: ${error.message}`);
  process.exit(1);
});

// An update checked by an earlier run and never installed.
fs.rmSync(path.join(folders.work, 'update'), { recursive: true, force: true });

server.listen(port, '127.0.0.1', () => {
  console.log(`quorvel server ${version} listening on http://127.0.0.1:${port} (data ${dataDir})`);
});
