'use strict';
// The page in headless Chromium, as a person uses it: connect, record the computer's sound,
// get a document's text, measure a picture, see the files, in another language too.
// Screenshots of each view go to QUORVEL_ARTEFACTS.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { chromium } = require('playwright-core');
const { startServer, startSoundServer, call, until, peakFrequency, wavSamples } = require('../server_helpers');

const artefacts = process.env.QUORVEL_ARTEFACTS || fs.mkdtempSync(path.join(os.tmpdir(), 'page-artefacts-'));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'page-test-'));
let sound;
let server;
let browser;

test.before(async () => {
  fs.mkdirSync(artefacts, { recursive: true });
  sound = startSoundServer();
  server = await startServer(sound.env);
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    // Root may not use the sandbox; the page is the test's own.
    args: ['--no-sandbox', '--autoplay-policy=no-user-gesture-required'],
  });
});
test.after(async () => {
  await browser?.close();
  server?.stop();
  sound?.stop();
  fs.rmSync(work, { recursive: true, force: true });
});

async function openPage(locale = 'en-US') {
  const context = await browser.newContext({ locale, viewport: { width: 1100, height: 800 } });
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  await page.goto(`http://localhost:${server.port}/`);
  return { page, context, problems };
}

const shot = (page, name) => page.screenshot({ path: path.join(artefacts, `page-${name}.png`), fullPage: true });

test('the page connects, and the launcher sees it', async () => {
  const { page, context, problems } = await openPage();
  await page.getByText('Connected to Quorvel 0.1.0.').waitFor();
  assert.strictEqual((await call(server, 'GET', '/api/ping')).body.pages, 1);
  await context.close();
  await until(async () => (await call(server, 'GET', '/api/ping')).body.pages === 0);
  assert.deepStrictEqual(problems, []);
});

test('a recording started on the page carries the tone that played, and plays back', async () => {
  const { page, context, problems } = await openPage();
  const player = sound.playTone(1000);
  await page.getByRole('button', { name: 'Record the computer’s sound' }).click();
  await page.locator('#live-state', { hasText: 'Recording' }).waitFor();
  await page.waitForFunction(() => document.getElementById('live-time').textContent >= '0:03');
  assert.ok(Number(await page.locator('#live-level').evaluate((meter) => meter.value)) > 0.1);
  await shot(page, 'record');
  await page.getByRole('button', { name: 'Stop' }).click();
  await page.getByText(/^Saved as Recording .*\.wav\.$/).waitFor();
  player.kill('SIGKILL');

  await page.getByRole('button', { name: 'Files' }).click();
  const item = page.locator('#recording-list li').first();
  const name = await item.getAttribute('data-name');
  const duration = await item.locator('audio').evaluate((audio) => new Promise((resolve) => {
    if (audio.readyState >= 1) resolve(audio.duration);
    audio.addEventListener('loadedmetadata', () => resolve(audio.duration));
    audio.addEventListener('error', () => resolve(-1));
  }));
  assert.ok(duration > 2.5, `the browser reads ${duration} s`);
  await shot(page, 'files');
  const samples = wavSamples(path.join(server.dataDir, 'Recordings', name));
  assert.strictEqual(peakFrequency(samples.subarray(samples.length - 48000, samples.length - 24000), 48000, 500, 2000, 2), 1000);
  await context.close();
  assert.deepStrictEqual(problems, []);
});

test('a dropped PDF shows its text page by page; a locked one says so', async () => {
  const scan = path.join(work, 'scan.pdf');
  execFileSync(process.env.QUORVEL_FIXTURE_TOOL, ['scan-en', '2', scan]);
  const locked = path.join(work, 'locked.pdf');
  execFileSync(process.env.QUORVEL_FIXTURE_TOOL, ['text', '1', path.join(work, 'plain.pdf')]);
  execFileSync('qpdf', ['--encrypt', 'secret', 'owner', '256', '--', path.join(work, 'plain.pdf'), locked]);
  const { page, context, problems } = await openPage();
  await page.getByRole('button', { name: 'Document text' }).click();
  // Dropped as a file manager drops it.
  const bytes = fs.readFileSync(scan).toString('base64');
  const transfer = await page.evaluateHandle((data) => {
    const file = new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], 'scan.pdf', { type: 'application/pdf' });
    const dataTransfer = new DataTransfer();
    dataTransfer.items.add(file);
    return dataTransfer;
  }, bytes);
  await page.dispatchEvent('#document-drop', 'drop', { dataTransfer: transfer });
  const job = page.locator('.job', { hasText: 'scan.pdf' });
  await job.locator('.page').nth(1).waitFor({ timeout: 120000 });
  assert.deepStrictEqual(await job.locator('.page h4').allTextContents(), ['Page 1recognised', 'Page 2recognised']);
  const firstWord = fs.readFileSync(`${scan}.txt`, 'utf8').split(/\s+/)[0];
  assert.ok((await job.locator('pre').first().textContent()).includes(firstWord));
  assert.strictEqual(await job.getByRole('link', { name: 'Download as text' }).getAttribute('href'), '/files/texts/scan.txt?download');
  await page.setInputFiles('#document-input', locked);
  await page.getByText('locked.pdf is protected by a password, so its text cannot be read.').waitFor();
  await shot(page, 'documents');
  await context.close();
  assert.deepStrictEqual(problems, []);
});

test('a picture gets its text size in plain words', async () => {
  const picture = path.join(work, 'page');
  execFileSync(process.env.QUORVEL_FIXTURE_TOOL, ['scan-en', '1', `${picture}.pdf`]);
  execFileSync('pdftoppm', ['-png', '-r', '100', '-singlefile', `${picture}.pdf`, picture]);
  const { page, context, problems } = await openPage();
  await page.getByRole('button', { name: 'Text size' }).click();
  await page.setInputFiles('#measure-input', `${picture}.png`);
  const row = page.locator('#measure-results tbody tr', { hasText: 'page.png' });
  await row.getByText(/^(Large enough|Small):/).waitFor({ timeout: 60000 });
  assert.ok(Number(await row.locator('td').nth(1).textContent()) >= 20);
  await shot(page, 'measure');
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.locator('#data-now', { hasText: server.dataDir }).waitFor();
  await shot(page, 'settings');
  await context.close();
  assert.deepStrictEqual(problems, []);
});

test('the page speaks the browser’s language', async () => {
  for (const [locale, record] of [['ja-JP', 'コンピュータの音を録音'], ['zh-TW', '錄下電腦的聲音'], ['zh-CN', '录下电脑的声音'], ['fr-FR', 'Record the computer’s sound']]) {
    const { page, context } = await openPage(locale);
    await page.getByRole('button', { name: record }).waitFor();
    if (locale === 'ja-JP') await shot(page, 'record-ja');
    await context.close();
  }
});
