'use strict';
// Starts the server component on a free port for a test, and talks raw HTTP to it, so a test
// chooses every header (or leaves Host out).
const { spawn } = require('node:child_process');
const net = require('node:net');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const serverScript = path.join(__dirname, '..', 'server', 'index.js');

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

async function startServer(env = {}) {
  const port = await freePort();
  const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-server-test-'));
  const child = spawn(process.execPath, [serverScript], {
    env: { ...process.env, PORT: String(port), QUORVEL_DATA: dataDir, QUORVEL_VERSION: '0.1.0', ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
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
      if (child.exitCode === null) child.kill('SIGTERM');
      fs.rmSync(dataDir, { recursive: true, force: true });
    },
  };
}

module.exports = { startServer, rawRequest };
