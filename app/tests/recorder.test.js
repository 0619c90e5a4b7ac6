'use strict';
// Recordings of the computer's sound through the real sonacap, on a private sound server
// with a null sink that the test plays a tone into.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { startServer, call, until, listen, peakFrequency, wavSamples, startSoundServer } = require('./server_helpers');

const sound = startSoundServer();
const soundEnv = sound.env;
const playTone = sound.playTone;
test.after(() => sound.stop());

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
  const server = await startServer({ PULSE_SERVER: `${soundEnv.PULSE_SERVER}-nothing-here` });
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
