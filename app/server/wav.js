'use strict';
// A WAV file of mono 32-bit float samples, written as the sound comes. The sizes in the
// header are brought up to date at least once a second, after the samples they count are
// written, so a file cut off at any moment opens and holds all but its last second.

const fs = require('node:fs');

const HEADER_BYTES = 58; // RIFF, fmt (18 bytes, float), fact, data chunk heads
const REFRESH_MS = 1000;

function header(rate, frames) {
  const dataBytes = frames * 4;
  const head = Buffer.alloc(HEADER_BYTES);
  head.write('RIFF', 0, 'ascii');
  head.writeUInt32LE(HEADER_BYTES - 8 + dataBytes, 4);
  head.write('WAVE', 8, 'ascii');
  head.write('fmt ', 12, 'ascii');
  head.writeUInt32LE(18, 16);
  head.writeUInt16LE(3, 20); // IEEE float
  head.writeUInt16LE(1, 22); // channels
  head.writeUInt32LE(rate, 24);
  head.writeUInt32LE(rate * 4, 28);
  head.writeUInt16LE(4, 32); // bytes per frame
  head.writeUInt16LE(32, 34);
  head.writeUInt16LE(0, 36); // no extension
  head.write('fact', 38, 'ascii');
  head.writeUInt32LE(4, 42);
  head.writeUInt32LE(frames, 46);
  head.write('data', 50, 'ascii');
  head.writeUInt32LE(dataBytes, 54);
  return head;
}

class WavWriter {
  constructor(path, rate, now = Date.now) {
    this.path = path;
    this.rate = rate;
    this.now = now;
    this.frames = 0;
    this.fd = fs.openSync(path, 'wx', 0o644);
    fs.writeSync(this.fd, header(rate, 0), 0, HEADER_BYTES, 0);
    this.refreshed = now();
  }

  // Appends samples: a buffer of little-endian floats, a whole number of them.
  write(samples) {
    const bytes = samples.length - (samples.length % 4);
    if (bytes === 0) return;
    fs.writeSync(this.fd, samples, 0, bytes, HEADER_BYTES + this.frames * 4);
    this.frames += bytes / 4;
    if (this.now() - this.refreshed >= REFRESH_MS) this.refresh();
  }

  refresh() {
    fs.writeSync(this.fd, header(this.rate, this.frames), 0, HEADER_BYTES, 0);
    fs.fdatasyncSync(this.fd);
    this.refreshed = this.now();
  }

  get seconds() {
    return this.frames / this.rate;
  }

  close() {
    if (this.fd === null) return;
    this.refresh();
    fs.closeSync(this.fd);
    this.fd = null;
  }
}

module.exports = { WavWriter, HEADER_BYTES };
