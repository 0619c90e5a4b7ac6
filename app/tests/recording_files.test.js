'use strict';
// The recorder's stream parser and the WAV writer.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawnSync } = require('node:child_process');
const { FrameParser, EVENT, AUDIO } = require('../server/frames');
const { WavWriter, HEADER_BYTES } = require('../server/wav');

function frame(type, payload) {
  const head = Buffer.alloc(5);
  head[0] = type;
  head.writeUInt32LE(payload.length, 1);
  return Buffer.concat([head, payload]);
}

function floats(values) {
  const buffer = Buffer.alloc(values.length * 4);
  values.forEach((v, i) => buffer.writeFloatLE(v, i * 4));
  return buffer;
}

test('messages come out whole however the bytes are split', () => {
  const sent = [
    [EVENT, Buffer.from('{"event":"hello","pid":42}')],
    [AUDIO, floats([0.5, -0.25, 1])],
    [EVENT, Buffer.alloc(0)],
    [AUDIO, floats(Array.from({ length: 5000 }, (_, i) => Math.sin(i)))],
  ];
  const stream = Buffer.concat(sent.map(([type, payload]) => frame(type, payload)));
  const splits = {
    'one byte at a time': () => 1,
    'whole': () => stream.length,
    'uneven': (i) => [3, 7, 1, 4096, 2][i % 5],
  };
  for (const [name, size] of Object.entries(splits)) {
    const got = [];
    const parser = new FrameParser((type, payload) => got.push([type, Buffer.from(payload)]));
    for (let offset = 0, i = 0; offset < stream.length; i += 1) {
      const next = Math.min(stream.length, offset + size(i));
      parser.push(stream.subarray(offset, next));
      offset = next;
    }
    assert.deepStrictEqual(got, sent, name);
  }
});

test('a stream out of step stops the parser instead of waiting for gigabytes', () => {
  const cases = [
    ['an unknown type', frame(0x58, Buffer.from('x'))],
    ['a length beyond any message', Buffer.from([AUDIO, 0xff, 0xff, 0xff, 0x7f])],
  ];
  for (const [name, bytes] of cases) {
    const got = [];
    const broken = [];
    const parser = new FrameParser((type) => got.push(type), (what) => broken.push(what));
    parser.push(frame(EVENT, Buffer.from('{}')));
    parser.push(bytes);
    parser.push(frame(EVENT, Buffer.from('{}')));
    assert.deepStrictEqual([got, broken.length], [[EVENT], 1], name);
  }
});

// What ffmpeg decodes of a WAV file: sample rate and sample count. A sample cut in half at
// the end is reported and left out.
function decoded(file) {
  const raw = spawnSync('ffmpeg', ['-v', 'quiet', '-i', file, '-f', 'f32le', '-'], { maxBuffer: 1 << 26 }).stdout;
  const info = execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'stream=codec_name,sample_rate,channels', '-of', 'csv=p=0', file]).toString().trim();
  return { info, samples: raw.length / 4, first: raw.length >= 4 ? raw.readFloatLE(0) : null };
}

test('a WAV file opens with what it holds, cut off anywhere', (t) => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'wav-test-'));
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  let now = 0;
  const file = path.join(folder, 'a.wav');
  const wav = new WavWriter(file, 48000, () => now);
  const declaredFrames = () => fs.readFileSync(file).readUInt32LE(54) / 4;
  // Ten seconds in 100 ms pieces: the header never claims more than the file holds, and
  // never lags it by more than a second.
  for (let i = 0; i < 100; i += 1) {
    wav.write(floats(new Array(4800).fill(i / 100)));
    now += 100;
    const held = (fs.statSync(file).size - HEADER_BYTES) / 4;
    assert.ok(declaredFrames() <= held);
    assert.ok(held - declaredFrames() <= 48000, `lags by ${held - declaredFrames()} frames`);
  }
  wav.close();
  assert.strictEqual(declaredFrames(), 480000);
  assert.deepStrictEqual(decoded(file), { info: 'pcm_f32le,48000,1', samples: 480000, first: 0 });

  // A crash, or a copy taken while it is written: the file ends anywhere after its header.
  const whole = fs.readFileSync(file);
  for (const cut of [HEADER_BYTES, HEADER_BYTES + 3, HEADER_BYTES + 4 * 12345 + 2, whole.length - 1]) {
    const part = path.join(folder, `cut-${cut}.wav`);
    fs.writeFileSync(part, whole.subarray(0, cut));
    const { info, samples } = decoded(part);
    assert.strictEqual(info, 'pcm_f32le,48000,1', `cut at ${cut}`);
    assert.strictEqual(samples, Math.floor((cut - HEADER_BYTES) / 4), `cut at ${cut}`);
  }
});

test('a WAV file is never written over', (t) => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'wav-test-'));
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  fs.writeFileSync(path.join(folder, 'a.wav'), 'kept');
  assert.throws(() => new WavWriter(path.join(folder, 'a.wav'), 48000), { code: 'EEXIST' });
  assert.strictEqual(fs.readFileSync(path.join(folder, 'a.wav'), 'utf8'), 'kept');
});
