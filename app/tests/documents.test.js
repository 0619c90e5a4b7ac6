'use strict';
// Documents and pictures through the real pagelift and glyphgauge, by way of the server.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { startServer, call, until } = require('./server_helpers');

const fixtureTool = process.env.QUORVEL_FIXTURE_TOOL;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'documents-test-'));
test.after(() => fs.rmSync(work, { recursive: true, force: true }));

function fixture(kind, pages) {
  const file = path.join(work, `${kind}-${pages}.pdf`);
  if (!fs.existsSync(file)) execFileSync(fixtureTool, [kind, String(pages), file]);
  return file;
}

async function extract(server, name, bytes) {
  const added = await call(server, 'POST', `/api/documents?name=${encodeURIComponent(name)}`, bytes, 'application/octet-stream');
  assert.strictEqual(added.status, 201, JSON.stringify(added.body));
  const progress = [];
  const job = await until(async () => {
    const { body } = await call(server, 'GET', `/api/documents/${added.body.id}`);
    progress.push(body.progress.join('/'));
    return body.state !== 'running' && body;
  }, 120000);
  return { job, progress };
}

test('a document gives its text, kept as a text file; a failed one leaves none', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  const texts = path.join(server.dataDir, 'Texts');

  const scan = fixture('scan-en', 2);
  const { job, progress } = await extract(server, 'scan.pdf', fs.readFileSync(scan));
  assert.strictEqual(job.state, 'done', JSON.stringify(job));
  assert.deepStrictEqual(job.progress, [2, 2]);
  assert.ok(progress.every((p) => /^\d+\/\d+$/.test(p)));
  assert.deepStrictEqual(job.result.pages.map((p) => [p.n, p.ocr]), [[1, true], [2, true]]);
  const words = fs.readFileSync(`${scan}.txt`, 'utf8').split(/\s+/).filter(Boolean);
  const text = fs.readFileSync(path.join(texts, job.text), 'utf8');
  const found = words.filter((w) => text.includes(w)).length;
  assert.ok(found / words.length > 0.9, `${found} of ${words.length} words`);
  assert.strictEqual(job.text, 'scan.txt');

  // A second document of the same name gets a text file of its own.
  const again = await extract(server, 'scan.pdf', fs.readFileSync(fixture('text', 1)));
  assert.strictEqual(again.job.text, 'scan 2.txt');
  assert.strictEqual(again.job.result.pages[0].ocr, false);

  const locked = path.join(work, 'locked.pdf');
  execFileSync('qpdf', ['--encrypt', 'secret', 'owner', '256', '--', fixture('text', 1), locked]);
  const cases = [
    ['locked.pdf', fs.readFileSync(locked), 'locked'],
    ['broken.pdf', Buffer.from('%PDF-1.4\nnot really'), 'unreadable'],
    ['notes.png', Buffer.from('not a picture'), 'unreadable'],
  ];
  for (const [name, bytes, error] of cases) {
    const failed = await extract(server, name, bytes);
    assert.strictEqual(failed.job.state, 'failed', name);
    assert.strictEqual(failed.job.error, error, name);
    assert.strictEqual(failed.job.text, null, name);
  }
  assert.deepStrictEqual(fs.readdirSync(texts).sort(), ['scan 2.txt', 'scan.txt']);
  const listed = await call(server, 'GET', '/api/texts');
  assert.deepStrictEqual(listed.body.map((e) => e.name).sort(), ['scan 2.txt', 'scan.txt']);
});

test('a picture gets its text lines and the height of its largest text', async (t) => {
  const server = await startServer();
  t.after(() => server.stop());
  execFileSync('pdftoppm', ['-png', '-r', '100', '-singlefile', fixture('scan-en', 1), path.join(work, 'page')]);
  const measured = await call(server, 'POST', '/api/measure?name=page.png', fs.readFileSync(path.join(work, 'page.png')), 'application/octet-stream');
  assert.strictEqual(measured.status, 200);
  assert.strictEqual(measured.body.name, 'page.png');
  assert.ok(measured.body.lines >= 20, JSON.stringify(measured.body));
  assert.ok(measured.body.big > 0.01 && measured.body.big < 0.05, JSON.stringify(measured.body));
  const blank = await call(server, 'POST', '/api/measure?name=x.png', Buffer.from('nothing'), 'application/octet-stream');
  assert.deepStrictEqual(blank.body, { name: 'x.png', lines: 0, big: 0 });
  // Nothing of the pictures stays behind.
  assert.deepStrictEqual(fs.readdirSync(path.join(server.dataDir, '.work')), []);
});
