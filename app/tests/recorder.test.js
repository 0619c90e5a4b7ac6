'use strict';
// Recordings of the computer's sound through the real sonacap, on a private sound server
// with a null sink that the test plays a tone into.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { startServer, call, until, listen } = require('./server_helpers');

const soundServerScript = process.env.QUORVEL_SOUND_SERVER;
const soundDir = fs.mkdtempSync(path.join(os.tmpdir(), 'recorder-test-sound-'));
const soundEnv = { PULSE_SERVER: `unix:${soundDir}/native` };
const players = [];

test.before(() => execFileSync('bash', [soundServerScript, 'start', soundDir, 'pulseaudio'], { stdio: 'ignore' }));
test.after(() => {
  for (const player of players) player.kill('SIGKILL');
  execFileSync('bash', [soundServerScript, 'stop', soundDir], { stdio: 'ignore' });
  fs.rmSync(soundDir, { recursive: true, force: true });
});

function playTone(frequency) {
  const player = spawn('gst-launch-1.0', ['-q', 'audiotestsrc', `freq=${frequency}`, 'volume=0.5', '!', 'pulsesink'], {
    env: { ...process.env, ...soundEnv },
    stdio: 'ignore',
  });
  players.push(player);
  return player;
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

const current = async (server) => (await call(server, 'GET', '/api/recordings/current')).body;

test('a recording of the computer’s sound is a WAV file carrying what played', async (t) => {
  const server = await startServer(soundEnv);
  t.after(() => server.stop());
  const player = playTone(1000);
  const pressed = Date.now();
  const started = await call(server, 'POST', '/api/recordings', { kind: 'audio' });
  assert.strictEqual(started.status, 201);
  assert.strictEqual((await call(server, 'POST', '/api/recordings', { kind: 'audio' })).status, 409);
  const file = path.join(server.dataDir, 'Recordings', started.body.name);
  await until(() => fs.existsSync(file) && fs.statSync(file).size > 58 + 4 * 4800);
  console.log(`# from pressing Record to sound in the file: ${Date.now() - pressed} ms`);
  await until(async () => (await current(server)).seconds > 2);
  const stopped = await call(server, 'POST', '/api/recordings/current/stop');
  assert.strictEqual(stopped.status, 200);
  await until(async () => (await current(server)) === null);
  player.kill('SIGKILL');

  const samples = wavSamples(file);
  assert.ok(samples.length > 2 * 48000);
  const middle = samples.subarray(samples.length - 48000, samples.length - 24000);
  assert.strictEqual(peakFrequency(middle, 48000, 500, 2000, 2), 1000);
  const listed = (await call(server, 'GET', '/api/recordings')).body;
  assert.deepStrictEqual(listed.map((e) => [e.name, e.kind]), [[started.body.name, 'audio']]);
  assert.ok(Math.abs(listed[0].seconds - samples.length / 48000) < 1e-9);
  assert.strictEqual((await call(server, 'POST', '/api/recordings/current/stop')).status, 404);
});

test('quitting during a recording needs the user’s word; the forced quit finishes the file', async (t) => {
  const server = await startServer(soundEnv);
  t.after(() => server.stop());
  const player = playTone(700);
  t.after(() => player.kill('SIGKILL'));
  const started = await call(server, 'POST', '/api/recordings', { kind: 'audio' });
  await until(async () => (await current(server)).seconds > 1.5);
  assert.strictEqual((await call(server, 'POST', '/api/quit', {})).status, 409);
  assert.strictEqual((await current(server)).state, 'recording');
  assert.strictEqual((await call(server, 'POST', '/api/quit', { force: true })).status, 200);
  const ended = await Promise.race([server.exited, new Promise((resolve) => setTimeout(() => resolve('late'), 5000))]);
  assert.deepStrictEqual(ended, { code: 0, signal: null });
  const samples = wavSamples(path.join(server.dataDir, 'Recordings', started.body.name));
  assert.ok(samples.length >= 1.5 * 48000);
  assert.strictEqual(peakFrequency(samples.subarray(samples.length - 24000), 48000, 500, 2000, 2), 700);
});

test('a recorder that fails says why, and leaves no empty file', async (t) => {
  const server = await startServer({ PULSE_SERVER: `unix:${soundDir}/nothing-here` });
  t.after(() => server.stop());
  const page = listen(server);
  t.after(() => page.close());
  await until(() => page.seen.length > 0);
  const started = await call(server, 'POST', '/api/recordings', { kind: 'audio' });
  assert.strictEqual(started.status, 201);
  const listed = await until(async () => {
    const { body } = await call(server, 'GET', '/api/recordings');
    return (await current(server)) === null && body;
  });
  assert.deepStrictEqual(listed, []);
  const last = page.seen.filter((e) => e.event === 'recording').pop().data;
  assert.strictEqual(last.state, 'failed');
  assert.match(last.message.detail, /^pa_context_connect: /);
  assert.ok(!fs.existsSync(path.join(server.dataDir, 'Recordings', started.body.name)));
});
