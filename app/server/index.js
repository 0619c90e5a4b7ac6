'use strict';
// The Quorvel server component: serves the page on 127.0.0.1 at PORT, keeps one live
// connection per open page, and answers the launcher's ping and quit requests.

const http = require('node:http');
const { refusal } = require('./guard');

const port = Number(process.env.PORT || 5177);
const version = process.env.QUORVEL_VERSION || '';
const dataDir = process.env.QUORVEL_DATA || '';

// Open pages, each holding one event stream.
const pages = new Set();
// The live recording, when one runs; quitting while it runs needs the user's consent.
let liveRecording = null;

function stopRecording() {
  liveRecording = null;
}

const page = `<!doctype html>
<html lang="en">
<head><meta charset="utf-8"><title>Quorvel</title>
<style>
  body { font: 16px system-ui, sans-serif; margin: 3rem auto; max-width: 40rem; color: #222; }
  #state { color: #666; }
</style></head>
<body>
<h1>Quorvel</h1>
<p id="state">Connecting…</p>
<script>
  const state = document.getElementById('state');
  const events = new EventSource('/api/events');
  events.onopen = () => { state.textContent = 'Connected.'; };
  events.onerror = () => { state.textContent = 'Reconnecting…'; };
  events.addEventListener('hello', (e) => {
    const info = JSON.parse(e.data);
    state.textContent = 'Connected to Quorvel ' + info.version + '.';
  });
</script>
</body>
</html>
`;

function sendJson(res, status, body) {
  const text = JSON.stringify(body);
  res.writeHead(status, {
    'Content-Type': 'application/json; charset=utf-8',
    'Content-Length': Buffer.byteLength(text),
    'Connection': 'close',
  });
  res.end(text);
}

function readBody(req, limit = 65536) {
  return new Promise((resolve, reject) => {
    let body = '';
    req.setEncoding('utf8');
    req.on('data', (chunk) => {
      body += chunk;
      if (body.length > limit) reject(new Error('request body too large'));
    });
    req.on('end', () => resolve(body));
    req.on('error', reject);
  });
}

function openEventStream(req, res) {
  res.writeHead(200, {
    'Content-Type': 'text/event-stream',
    'Cache-Control': 'no-cache',
    'Connection': 'keep-alive',
  });
  res.write(`event: hello\ndata: ${JSON.stringify({ version })}\n\n`);
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
    const body = await readBody(req);
    force = body.trim() !== '' && JSON.parse(body).force === true;
  } catch (error) {
    sendJson(res, 400, { error: String(error.message || error) });
    return;
  }
  if (liveRecording && !force) {
    sendJson(res, 409, { recording: true });
    return;
  }
  stopRecording();
  console.log(`quorvel server: quit requested${force ? ' (forced)' : ''}`);
  res.on('finish', () => shutDown(0));
  sendJson(res, 200, { quitting: true });
}

function handle(req, res) {
  const refused = refusal(req, port);
  if (refused) {
    req.resume();
    sendJson(res, refused.status, { error: refused.error });
    return;
  }
  const path = new URL(req.url, 'http://localhost').pathname;
  if (req.method === 'GET' && path === '/api/ping') {
    sendJson(res, 200, { service: 'quorvel', version, pages: pages.size });
  } else if (req.method === 'POST' && path === '/api/quit') {
    quit(req, res);
  } else if (req.method === 'GET' && path === '/api/events') {
    openEventStream(req, res);
  } else if (req.method === 'GET' && (path === '/' || path === '/index.html')) {
    res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    res.end(page);
  } else {
    sendJson(res, 404, { error: 'not found' });
  }
}

// A request without Host is refused by the guard, with the same answer as a foreign one.
const server = http.createServer({ requireHostHeader: false }, handle);

function shutDown(status) {
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

server.listen(port, '127.0.0.1', () => {
  console.log(`quorvel server ${version} listening on http://127.0.0.1:${port} (data ${dataDir})`);
});
