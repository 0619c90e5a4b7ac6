'use strict';
const test = require('node:test');
const assert = require('node:assert');
const { startServer, rawRequest } = require('./server_helpers');

function request({ method = 'GET', path = '/api/ping', host, headers = {}, body = '', version = '1.1' }) {
  const lines = [`${method} ${path} HTTP/${version}`];
  if (host !== null) lines.push(`Host: ${host}`);
  for (const [name, value] of Object.entries(headers)) lines.push(`${name}: ${value}`);
  lines.push(`Content-Length: ${Buffer.byteLength(body)}`, 'Connection: close', '', body);
  return lines.join('\r\n');
}

test('only the page and the launcher on this machine get answers', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  const own = `localhost:${server.port}`;
  const quit = { method: 'POST', path: '/api/quit', body: '{"force":true}' };
  const cases = [
    { name: 'ping as the launcher sends it', req: { host: own }, status: 200 },
    { name: 'ping by address', req: { host: `127.0.0.1:${server.port}` }, status: 200 },
    { name: 'page from its own origin', req: { path: '/', host: own, headers: { Origin: `http://${own}` } }, status: 200 },
    { name: 'rebinding host', req: { host: `evil.example:${server.port}` }, status: 403 },
    { name: 'rebinding host, page', req: { path: '/', host: 'evil.example' }, status: 403 },
    { name: 'another port', req: { host: `localhost:${server.port + 1}` }, status: 403 },
    { name: 'no host', req: { host: null }, status: 403 },
    { name: 'no host, HTTP/1.0', req: { host: null, version: '1.0' }, status: 403 },
    { name: 'foreign origin reading', req: { host: own, headers: { Origin: 'https://evil.example' } }, status: 403 },
    { name: 'no-cors quit from a web page', req: { ...quit, host: own, headers: { Origin: 'https://evil.example', 'Content-Type': 'text/plain;charset=UTF-8' } }, status: 403 },
    { name: 'plain text quit', req: { ...quit, host: own, headers: { 'Content-Type': 'text/plain' } }, status: 415 },
    { name: 'form quit', req: { ...quit, host: own, headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }, status: 415 },
    { name: 'multipart quit', req: { ...quit, host: own, headers: { 'Content-Type': 'multipart/form-data; boundary=x' } }, status: 415 },
    { name: 'quit without a type', req: { ...quit, host: own }, status: 415 },
    { name: 'JSON quit from a foreign origin', req: { ...quit, host: own, headers: { Origin: 'http://localhost:1', 'Content-Type': 'application/json' } }, status: 403 },
    { name: 'preflight', req: { method: 'OPTIONS', path: '/api/quit', host: own, headers: { Origin: 'https://evil.example', 'Access-Control-Request-Method': 'POST' } }, status: 403 },
    // Every other state-changing request keeps the same rules.
    { name: 'plain text recording', req: { method: 'POST', path: '/api/recordings', body: '{"kind":"audio"}', host: own, headers: { 'Content-Type': 'text/plain' } }, status: 415 },
    { name: 'recording from a foreign origin', req: { method: 'POST', path: '/api/recordings', body: '{"kind":"audio"}', host: own, headers: { Origin: 'https://evil.example', 'Content-Type': 'application/json' } }, status: 403 },
    { name: 'form upload', req: { method: 'POST', path: '/api/documents?name=a.pdf', body: 'x', host: own, headers: { 'Content-Type': 'multipart/form-data; boundary=x' } }, status: 415 },
    { name: 'upload on a rebinding host', req: { method: 'POST', path: '/api/documents?name=a.pdf', body: 'x', host: 'evil.example', headers: { 'Content-Type': 'application/octet-stream' } }, status: 403 },
    { name: 'delete without a type', req: { method: 'DELETE', path: '/api/recordings/a.wav', host: own }, status: 415 },
    { name: 'data folder move as a form', req: { method: 'POST', path: '/api/settings/data-folder', body: 'path=/tmp/x', host: own, headers: { 'Content-Type': 'application/x-www-form-urlencoded' } }, status: 415 },
    { name: 'update from a foreign origin', req: { method: 'POST', path: '/api/update/install', body: '{"path":"/tmp/x"}', host: own, headers: { Origin: 'null', 'Content-Type': 'application/json' } }, status: 403 },
    { name: 'a file on a rebinding host', req: { path: '/files/recordings/a.wav', host: 'evil.example' }, status: 403 },
  ];
  for (const c of cases) {
    const answer = await rawRequest(server.port, request(c.req));
    assert.strictEqual(answer.status, c.status, `${c.name}: ${answer.body}`);
  }

  // Nothing above stopped it; the launcher's own quit request does.
  const answer = await rawRequest(server.port, request({ ...quit, host: `127.0.0.1:${server.port}`, headers: { 'Content-Type': 'application/json' } }));
  assert.strictEqual(answer.status, 200);
  assert.deepStrictEqual(await server.exited, { code: 0, signal: null });
});
