'use strict';
// Names from URLs stay in their folder; files are served with ranges; uploads are whole or
// not there at all.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { startServer, rawRequest, call } = require('./server_helpers');
const { safeName, rangeOf } = require('../server/files');

test('only plain names inside their folder are accepted', () => {
  const cases = [
    ['Recording 2026-12-11 12.00.00.wav', true],
    ['scan 2.txt', true],
    ['日本語.pdf', true],
    ['..', false],
    ['.', false],
    ['.hidden', false],
    ['../secret', false],
    ['a/b', false],
    ['a\\b', false],
    ['/etc/passwd', false],
    ['a\u0000b', false],
    ['line\nbreak', false],
    ['', false],
    ['x'.repeat(256), false],
  ];
  for (const [name, ok] of cases) assert.strictEqual(safeName(name) !== null, ok, JSON.stringify(name));
});

test('ranges as browsers ask for them', () => {
  const cases = [
    [undefined, null],
    ['bytes=0-', { start: 0, end: 99 }],
    ['bytes=10-19', { start: 10, end: 19 }],
    ['bytes=90-200', { start: 90, end: 99 }],
    ['bytes=-10', { start: 90, end: 99 }],
    ['bytes=-500', { start: 0, end: 99 }],
    ['bytes=100-', 'unsatisfiable'],
    ['bytes=20-10', 'unsatisfiable'],
    ['bytes=-0', 'unsatisfiable'],
    ['bytes=0-1,5-6', null],
    ['items=0-1', null],
  ];
  for (const [header, range] of cases) assert.deepStrictEqual(rangeOf(header, 100), range, String(header));
});

test('URLs cannot reach outside the data folder', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  const recordings = path.join(server.dataDir, 'Recordings');
  fs.mkdirSync(recordings, { recursive: true });
  fs.writeFileSync(path.join(recordings, 'a.wav'), Buffer.alloc(100, 7));
  fs.writeFileSync(path.join(server.dataDir, 'secret.txt'), 'secret');
  const get = (p) => rawRequest(server.port, `GET ${p} HTTP/1.1\r\nHost: localhost:${server.port}\r\nConnection: close\r\n\r\n`);
  const refused = [
    '/files/recordings/..%2Fsecret.txt',
    '/files/recordings/%2E%2E%2Fsecret.txt',
    '/files/recordings/..%5Csecret.txt',
    '/files/recordings/%2Fetc%2Fpasswd',
    '/files/recordings/a.wav%00.txt',
    '/files/recordings/..',
    '/files/recordings/%2E%2E',
    '/files/recordings/../secret.txt',
    '/files/../secret.txt',
    '/files/recordings//etc/passwd',
    '/page/..%2Fpage%2F..%2F..%2Fserver%2Findex.js',
    '/page/../index.js',
  ];
  for (const p of refused) {
    const { status, body } = await get(p);
    assert.ok([400, 404].includes(status), `${p}: ${status}`);
    assert.ok(!body.includes('secret') && !body.includes('root:') && !body.includes('require('), p);
  }
  assert.strictEqual((await fetch(`http://127.0.0.1:${server.port}/files/recordings/a.wav`)).status, 200);
  const name = '..%2Fsecret.txt';
  const deleted = await rawRequest(server.port, `DELETE /api/recordings/${name} HTTP/1.1\r\nHost: localhost:${server.port}\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}`);
  assert.strictEqual(deleted.status, 400);
  assert.ok(fs.existsSync(path.join(server.dataDir, 'secret.txt')));
  for (const bad of ['..', '%2Fetc%2Fpasswd', 'a%00.pdf', '.hidden']) {
    const sent = await call(server, 'POST', `/api/documents?name=${bad}`, Buffer.from('x'), 'application/octet-stream');
    assert.strictEqual(sent.status, 400, bad);
  }
});

test('files are served whole or by range, and deleted on request', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  const recordings = path.join(server.dataDir, 'Recordings');
  fs.mkdirSync(recordings, { recursive: true });
  const bytes = Buffer.from(Array.from({ length: 1000 }, (_, i) => i % 256));
  fs.writeFileSync(path.join(recordings, 'a b.wav'), bytes);
  const url = `http://127.0.0.1:${server.port}/files/recordings/a%20b.wav`;
  const whole = await fetch(url);
  assert.strictEqual(whole.status, 200);
  assert.strictEqual(whole.headers.get('content-type'), 'audio/wav');
  assert.deepStrictEqual(Buffer.from(await whole.arrayBuffer()), bytes);
  const part = await fetch(url, { headers: { Range: 'bytes=100-199' } });
  assert.strictEqual(part.status, 206);
  assert.strictEqual(part.headers.get('content-range'), 'bytes 100-199/1000');
  assert.deepStrictEqual(Buffer.from(await part.arrayBuffer()), bytes.subarray(100, 200));
  const beyond = await fetch(url, { headers: { Range: 'bytes=1000-' } });
  assert.strictEqual(beyond.status, 416);
  assert.strictEqual(beyond.headers.get('content-range'), 'bytes */1000');
  const download = await fetch(`${url}?download`);
  assert.match(download.headers.get('content-disposition'), /^attachment; filename\*=UTF-8''a%20b\.wav$/);
  const listed = await call(server, 'GET', '/api/recordings');
  assert.deepStrictEqual(listed.body.map((e) => [e.name, e.kind, e.bytes]), [['a b.wav', 'audio', 1000]]);
  assert.strictEqual((await call(server, 'DELETE', '/api/recordings/a%20b.wav')).status, 200);
  assert.ok(!fs.existsSync(path.join(recordings, 'a b.wav')));
  assert.strictEqual((await call(server, 'DELETE', '/api/recordings/a%20b.wav')).status, 404);
});

test('an upload is refused over the limit and leaves nothing when cut off', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  const documents = path.join(server.dataDir, 'Documents');
  const huge = await rawRequest(server.port, `POST /api/documents?name=big.pdf HTTP/1.1\r\nHost: localhost:${server.port}\r\nContent-Type: application/octet-stream\r\nContent-Length: ${600 * 1024 * 1024}\r\nConnection: close\r\n\r\n`);
  assert.strictEqual(huge.status, 413);
  // Half a body, then the connection goes away.
  await new Promise((resolve) => {
    const socket = net.connect(server.port, '127.0.0.1', () => {
      socket.write(`POST /api/documents?name=cut.pdf HTTP/1.1\r\nHost: localhost:${server.port}\r\nContent-Type: application/octet-stream\r\nContent-Length: 100000\r\n\r\n`);
      socket.write(Buffer.alloc(50000, 1), () => setTimeout(() => { socket.destroy(); resolve(); }, 200));
    });
  });
  await new Promise((resolve) => setTimeout(resolve, 300));
  const left = fs.existsSync(documents) ? fs.readdirSync(documents) : [];
  assert.deepStrictEqual(left, []);
});
