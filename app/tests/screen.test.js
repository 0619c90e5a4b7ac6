'use strict';
// A screen recording driven through the server, on the headless desktop with the screen-cast
// portal that the recorder's own tests use; the server runs in that desktop's session.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync, spawn } = require('node:child_process');
const { startServer, call, until, listen } = require('./server_helpers');

const rig = process.env.QUORVEL_SCREEN_RIG;
const rigDir = fs.mkdtempSync(path.join(os.tmpdir(), 'screen-rig-'));
const helpers = [];
const inSession = (...command) => ['bash', rig, 'run', rigDir, ...command];

test.before(() => execFileSync('bash', [rig, 'start', rigDir], { stdio: 'ignore' }));
test.after(() => {
  for (const helper of helpers) helper.kill('SIGKILL');
  execFileSync('bash', [rig, 'stop', rigDir], { stdio: 'ignore' });
  fs.rmSync(rigDir, { recursive: true, force: true });
});

// The desktop's user writes into the data folder.
async function serverInSession() {
  const dataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'screen-data-'));
  fs.chmodSync(dataDir, 0o777);
  return startServer({}, { dataDir, via: inSession() });
}

test('a screen recording started and stopped through the server ends in the list', async (t) => {
  const server = await serverInSession();
  t.after(() => server.stop());
  const page = listen(server);
  t.after(() => page.close());
  const [command, ...args] = inSession('gst-launch-1.0', '-q', 'videotestsrc', 'pattern=ball', '!', 'video/x-raw,width=640,height=360,framerate=10/1', '!', 'waylandsink');
  helpers.push(spawn(command, args, { stdio: 'ignore' }));
  execFileSync('bash', [rig, 'answer', rigDir, 'HEADLESS-1']);

  const started = await call(server, 'POST', '/api/recordings', { kind: 'screen' });
  assert.strictEqual(started.status, 201);
  assert.match(started.body.name, /^Screen .*\.mp4$/);
  const states = () => page.seen.filter((e) => e.event === 'recording').map((e) => e.data.state);
  await until(() => states().includes('recording'), 20000);
  await new Promise((resolve) => setTimeout(resolve, 2500));
  assert.strictEqual((await call(server, 'POST', '/api/recordings/current/stop')).status, 200);
  await until(() => states().includes('done'), 30000);
  const seen = [...new Set(states())];
  assert.deepStrictEqual(seen.filter((s) => s !== 'starting'), ['picking', 'recording', 'stopping', 'done']);
  const listed = (await call(server, 'GET', '/api/recordings')).body;
  assert.strictEqual(listed.length, 1);
  assert.strictEqual(listed[0].kind, 'screen');
  assert.ok(listed[0].seconds > 2, JSON.stringify(listed[0]));
  const movie = await fetch(`http://127.0.0.1:${server.port}/files/recordings/${encodeURIComponent(listed[0].name)}`, { headers: { Range: 'bytes=0-11' } });
  assert.strictEqual(movie.status, 206);
  assert.strictEqual(movie.headers.get('content-type'), 'video/mp4');
  assert.strictEqual(Buffer.from(await movie.arrayBuffer()).subarray(4, 8).toString(), 'ftyp');

  // The duration outlives the server; deleting the movie leaves nothing of it behind.
  const again = await startServer({}, { dataDir: server.dataDir });
  t.after(() => again.stop());
  assert.strictEqual((await call(again, 'GET', '/api/recordings')).body[0].seconds, listed[0].seconds);
  assert.strictEqual((await call(again, 'DELETE', `/api/recordings/${encodeURIComponent(listed[0].name)}`)).status, 200);
  assert.deepStrictEqual(fs.readdirSync(path.join(server.dataDir, 'Recordings')), []);
});

test('a cancelled picker records nothing and says so', async (t) => {
  const server = await serverInSession();
  t.after(() => server.stop());
  const page = listen(server);
  t.after(() => page.close());
  execFileSync('bash', [rig, 'answer', rigDir, 'CANCEL']);
  await call(server, 'POST', '/api/recordings', { kind: 'screen' });
  const last = await until(() => page.seen.filter((e) => e.event === 'recording').map((e) => e.data).find((d) => !['starting', 'picking'].includes(d.state)), 20000);
  assert.strictEqual(last.state, 'cancelled');
  assert.deepStrictEqual((await call(server, 'GET', '/api/recordings')).body, []);
});
