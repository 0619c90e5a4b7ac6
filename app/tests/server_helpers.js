'use strict';
// Starts the server component on a free port for a test, and talks raw HTTP to it, so a test
// chooses every header (or leaves Host out).
const assert = require('node:assert');
const { spawn, execFileSync } = require('node:child_process');
const net = require('node:net');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const serverScript = path.join(__dirname, '..', 'server', 'index.js');
// The built tools (pagelift, glyphgauge, sonacap...), put first on the server's PATH.
const toolsDir = process.env.QUORVEL_TOOLS || '';

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Sends the request text as it stands; resolves with the status and the body.
function rawRequest(port, text) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    let answer = '';
    socket.setEncoding('utf8');
    socket.on('connect', () => socket.end(text));
    socket.on('data', (chunk) => (answer += chunk));
    socket.on('error', reject);
    socket.on('close', () => {
      const match = /^HTTP\/1\.[01] (\d{3})/.exec(answer);
      resolve({ status: match ? Number(match[1]) : 0, body: answer.split('\r\n\r\n')[1] || '' });
    });
  });
}

// Starts the server component on a free port with a data folder of its own. With a parent,
// the server runs under a shell that stands for the launcher: it ends with the server. With
// via, through that command (which runs the rest of its arguments).
async function startServer(env = {}, { dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-server-test-')), parent = false, via = [] } = {}) {
  const port = await freePort();
  let [command, ...args] = parent
    ? ['sh', '-c', '"$0" "$1" & wait $!', process.execPath, serverScript]
    : [process.execPath, serverScript];
  if (via.length > 0) [command, ...args] = [...via, command, ...args];
  const child = spawn(command, args, {
    env: {
      ...process.env,
      PATH: [toolsDir, process.env.PATH].filter(Boolean).join(':'),
      PORT: String(port),
      QUORVEL_DATA: dataDir,
      QUORVEL_VERSION: '0.1.0',
      ...env,
    },
    stdio: ['ignore', 'pipe', 'pipe'],
    detached: parent,
  });
  let output = '';
  child.stdout.on('data', (chunk) => (output += chunk));
  child.stderr.on('data', (chunk) => (output += chunk));
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  await new Promise((resolve, reject) => {
    const check = () => {
      if (output.includes('listening')) resolve();
      else if (child.exitCode !== null) reject(new Error(`server ended: ${output}`));
      else setTimeout(check, 20);
    };
    check();
  });
  return {
    port,
    dataDir,
    exited,
    output: () => output,
    stop() {
      try {
        process.kill(parent ? -child.pid : child.pid, 'SIGTERM');
      } catch {
        // already gone
      }
      fs.rmSync(dataDir, { recursive: true, force: true });
    },
  };
}

// A JSON request from the server's own page; resolves with the status and the parsed body.
async function call(server, method, urlPath, body, type = 'application/json') {
  const response = await fetch(`http://127.0.0.1:${server.port}${urlPath}`, {
    method,
    headers: method === 'GET' ? {} : { 'Content-Type': type },
    body: method === 'GET' ? undefined : type === 'application/json' ? JSON.stringify(body ?? {}) : body,
  });
  const text = await response.text();
  let answer = text;
  try {
    answer = JSON.parse(text);
  } catch {
    // not JSON: kept as text
  }
  return { status: response.status, body: answer, headers: response.headers };
}

// Polls check every 50 ms until it returns something truthy, at most limit milliseconds.
async function until(check, limit = 30000) {
  const deadline = Date.now() + limit;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error('gave up waiting');
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

// Listens to the page's event stream: the events so far, each as {event, data}.
function listen(server) {
  const seen = [];
  const controller = new AbortController();
  fetch(`http://127.0.0.1:${server.port}/api/events`, { signal: controller.signal })
    .then(async (response) => {
      let pending = '';
      for await (const chunk of response.body) {
        pending += Buffer.from(chunk).toString('utf8');
        const blocks = pending.split('\n\n');
        pending = blocks.pop();
        for (const block of blocks) {
          const event = /^event: (.*)$/m.exec(block);
          const data = /^data: (.*)$/m.exec(block);
          if (event && data) seen.push({ event: event[1], data: JSON.parse(data[1]) });
        }
      }
    })
    .catch(() => {});
  return { seen, close: () => controller.abort() };
}

// The strongest frequency between low and high hertz, in steps of step (Goertzel).
function peakFrequency(samples, rate, low, high, step) {
  let best = 0;
  let bestPower = -1;
  for (let f = low; f <= high; f += step) {
    const c = 2 * Math.cos((2 * Math.PI * f) / rate);
    let s1 = 0;
    let s2 = 0;
    for (const x of samples) {
      const s0 = x + c * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    const power = s1 * s1 + s2 * s2 - c * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = f;
    }
  }
  return best;
}

// A WAV file's samples as its header counts them.
function wavSamples(file) {
  const bytes = fs.readFileSync(file);
  const declared = bytes.readUInt32LE(54);
  assert.strictEqual(bytes.length, 58 + declared, 'the header counts every sample');
  const samples = new Float32Array(declared / 4);
  for (let i = 0; i < samples.length; i += 1) samples[i] = bytes.readFloatLE(58 + i * 4);
  return samples;
}

// A private PulseAudio server with a null sink as its default output, and tones played into it.
function startSoundServer() {
  const script = process.env.QUORVEL_SOUND_SERVER;
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-sound-'));
  execFileSync('bash', [script, 'start', folder, 'pulseaudio'], { stdio: 'ignore' });
  const env = { PULSE_SERVER: `unix:${folder}/native` };
  const players = [];
  return {
    env,
    playTone(frequency) {
      const player = spawn('gst-launch-1.0', ['-q', 'audiotestsrc', `freq=${frequency}`, 'volume=0.5', '!', 'pulsesink'], {
        env: { ...process.env, ...env },
        stdio: 'ignore',
      });
      players.push(player);
      return player;
    },
    stop() {
      for (const player of players) player.kill('SIGKILL');
      execFileSync('bash', [script, 'stop', folder], { stdio: 'ignore' });
      fs.rmSync(folder, { recursive: true, force: true });
    },
  };
}

module.exports = { startSoundServer, startServer, freePort, rawRequest, call, until, listen, peakFrequency, wavSamples, toolsDir };
