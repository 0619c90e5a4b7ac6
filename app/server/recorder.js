'use strict';
// Recordings: starts sonacap on a Unix socket of its own, follows its events, writes the
// computer's sound into a WAV file as it comes (or lets sonacap write the screen's movie),
// and tells the pages how it goes.

const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { FrameParser, EVENT } = require('./frames');
const { WavWriter } = require('./wav');
const { freeName } = require('./files');

const OUT_RATE = 48000;
const LEVEL_EVERY_MS = 100;
const STOP_GRACE_MS = 10000;
const LONGEST_SOCKET_PATH = 103;

function stamp(date) {
  const two = (n) => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${two(date.getMonth() + 1)}-${two(date.getDate())} ` +
    `${two(date.getHours())}.${two(date.getMinutes())}.${two(date.getSeconds())}`;
}

// A private folder (mode 0700) for the socket, under the runtime folder when its path is
// short enough for a socket address.
function socketFolder() {
  for (const base of [process.env.XDG_RUNTIME_DIR, os.tmpdir(), '/tmp']) {
    if (!base || !fs.existsSync(base)) continue;
    const folder = fs.mkdtempSync(path.join(base, 'quorvel-'));
    fs.chmodSync(folder, 0o700);
    if (Buffer.byteLength(path.join(folder, 'sonacap.sock')) <= LONGEST_SOCKET_PATH) return folder;
    fs.rmSync(folder, { recursive: true, force: true });
  }
  throw new Error('no folder for the recorder socket');
}

// The peak level of a buffer of float samples, 0 to 1.
function peakOf(samples) {
  let peak = 0;
  for (let i = 0; i + 4 <= samples.length; i += 4) {
    const value = Math.abs(samples.readFloatLE(i));
    if (value > peak) peak = value;
  }
  return Math.min(peak, 1);
}

let nextId = 1;

class Recording {
  constructor(kind, folder, tool, report) {
    this.id = String(nextId++);
    this.kind = kind;
    this.folder = folder;
    this.tool = tool;
    this.report = report;
    this.state = 'starting';
    this.began = Date.now();
    this.message = null;
    this.notice = null;
    this.level = 0;
    this.levelSent = 0;
    this.wav = null;
    this.connection = null;
    this.child = null;
    this.stopAsked = false;
    this.ended = new Promise((resolve) => { this.markEnded = resolve; });
    const name = freeName(folder, `${kind === 'screen' ? 'Screen' : 'Recording'} ${stamp(new Date())}.${kind === 'screen' ? 'mp4' : 'wav'}`);
    this.file = path.join(folder, name);
    this.name = name;
  }

  get live() {
    return !['done', 'failed', 'cancelled'].includes(this.state);
  }

  summary() {
    return {
      id: this.id, kind: this.kind, state: this.state, name: this.name,
      seconds: this.seconds(), level: this.level, message: this.message, notice: this.notice,
    };
  }

  seconds() {
    if (this.kind === 'audio') return this.wav ? this.wav.seconds : 0;
    return this.recordedSeconds ?? (this.recordingSince ? (Date.now() - this.recordingSince) / 1000 : 0);
  }

  setState(state, extra = {}) {
    this.state = state;
    Object.assign(this, extra);
    this.report(this.summary());
  }

  start() {
    this.socketDir = socketFolder();
    const socketPath = path.join(this.socketDir, 'sonacap.sock');
    this.listener = net.createServer((connection) => this.connected(connection));
    this.listener.on('error', (error) => this.failed(`The recorder's socket failed: ${error.message}`));
    this.listener.listen(socketPath, () => {
      const args = ['--socket', socketPath];
      if (this.kind === 'screen') args.push('--screen', this.file);
      this.child = spawn(this.tool, args, { stdio: ['ignore', 'ignore', 'pipe'] });
      let errors = '';
      this.child.stderr.on('data', (chunk) => { errors = (errors + chunk).slice(-2000); });
      this.child.on('error', (error) => this.failed(`The recorder could not be started: ${error.message}`));
      this.child.on('exit', (code, signal) => this.exited(code, signal, errors.trim()));
    });
  }

  connected(connection) {
    if (this.connection) {
      connection.destroy();
      return;
    }
    this.connection = connection;
    if (this.stopAsked) connection.write('S');
    const parser = new FrameParser((type, payload) => {
      if (type === EVENT) this.event(payload);
      else this.audio(payload);
    }, (what) => {
      this.message = { text: 'error', code: null, detail: `The recorder sent a ${what}` };
      this.stop();
      connection.destroy();
    });
    connection.on('data', (chunk) => parser.push(chunk));
    connection.on('error', () => {});
    connection.on('close', () => this.finishFile());
  }

  event(payload) {
    let event;
    try {
      event = JSON.parse(payload.toString('utf8'));
    } catch {
      return;
    }
    switch (event.event) {
      case 'picking':
        this.setState('picking');
        break;
      case 'started':
        if (this.kind === 'audio') this.openFile();
        this.setState(this.kind === 'audio' ? 'recording' : 'starting');
        break;
      case 'recording':
        this.recordingSince = Date.now();
        this.setState('recording');
        break;
      case 'restarted':
        this.setState(this.state, { notice: { text: 'restarted', gap: event.gap ?? 0 } });
        break;
      case 'recorded':
        this.recordedSeconds = Number(event.seconds) || 0;
        this.setState('stopping');
        break;
      case 'recordfailed':
      case 'stopped':
      case 'error':
        this.message = { text: event.event, code: event.code ?? null, detail: String(event.message || '') };
        this.report(this.summary());
        break;
      case 'cancelled':
        this.cancelled = true;
        break;
      default:
        break;
    }
  }

  openFile() {
    if (this.wav) return;
    try {
      this.wav = new WavWriter(this.file, OUT_RATE);
    } catch (error) {
      this.message = { text: 'nowrite', code: null, detail: error.message };
      this.stop();
    }
  }

  audio(samples) {
    if (this.kind === 'audio') {
      if (!this.wav) this.openFile();
      try {
        this.wav?.write(samples);
      } catch (error) {
        this.message = { text: 'nowrite', code: null, detail: error.message };
        this.stop();
      }
    }
    this.level = Math.max(this.level, peakOf(samples));
    const now = Date.now();
    if (now - this.levelSent >= LEVEL_EVERY_MS) {
      this.levelSent = now;
      this.report(this.summary());
      this.level = 0;
    }
  }

  stop() {
    if (this.stopAsked || !this.live) return;
    this.stopAsked = true;
    if (this.connection && !this.connection.destroyed) this.connection.write('S');
    if (this.state !== 'picking') this.setState('stopping');
    this.stopTimer = setTimeout(() => this.child?.kill('SIGTERM'), this.kind === 'audio' ? STOP_GRACE_MS : 600000 + STOP_GRACE_MS);
  }

  finishFile() {
    if (!this.wav) return;
    try {
      this.wav.close();
    } catch (error) {
      this.message = { text: 'nowrite', code: null, detail: error.message };
    }
  }

  failed(detail) {
    if (!this.live) return;
    this.message = { text: 'error', code: null, detail };
    this.end();
  }

  exited(code, signal, errors) {
    if (!this.live) return;
    if (code !== 0 && !this.message) {
      this.message = { text: 'error', code: null, detail: errors || `sonacap ended with ${signal || `status ${code}`}` };
    }
    this.end();
  }

  // Whatever ended the recording: the file keeps what was recorded.
  end() {
    clearTimeout(this.stopTimer);
    this.finishFile();
    this.connection?.destroy();
    this.listener?.close();
    if (this.socketDir) fs.rmSync(this.socketDir, { recursive: true, force: true });
    const kept = this.kind === 'audio'
      ? Boolean(this.wav && this.wav.frames > 0)
      : fs.existsSync(this.file) && fs.statSync(this.file).size > 0;
    if (!kept) fs.rmSync(this.file, { force: true });
    // A recording that kept something is done, whatever ended it; the page says what did.
    let state = kept ? 'done' : 'failed';
    if (this.cancelled) state = 'cancelled';
    this.setState(state);
    this.markEnded();
  }

  // Stops and waits at most limit milliseconds for the recorder to end; the file is
  // finished either way.
  async stopWithin(limit) {
    this.stop();
    const late = new Promise((resolve) => setTimeout(resolve, limit).unref());
    await Promise.race([this.ended, late]);
    if (this.live) {
      this.child?.kill('SIGKILL');
      this.finishFile();
    }
  }

  // For a server going down at once: the file is finished and the recorder told to stop.
  abandon() {
    if (this.connection && !this.connection.destroyed) this.connection.write('S');
    this.finishFile();
    this.child?.kill('SIGTERM');
  }
}

module.exports = { Recording, OUT_RATE };
