'use strict';
// The built bundle end to end: the launcher starts its server without opening a browser, the
// test's browser opens the page and records the computer's sound, and the launcher is asked
// to quit meanwhile. No one can answer its question here, so the first request is refused
// (409), the second one forces the quit, and the recording is finished into a whole file.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { chromium } = require('playwright-core');
const { startSoundServer, until, wavSamples, peakFrequency, freePort } = require('../server_helpers');

const app = process.env.QUORVEL_APP;

// Starts the bundle's launcher without a browser on a free port; resolves once its server
// answers, with the port and how the launcher ended.
async function launch(t, appPath, support, env) {
  const port = await freePort();
  const environment = { ...process.env, ...env };
  delete environment.DISPLAY;
  delete environment.WAYLAND_DISPLAY;
  const launcher = spawn(path.join(appPath, 'Contents', 'MacOS', 'Quorvel'), ['--no-browser', '--port', String(port), '--support', support], {
    env: environment,
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  const ended = new Promise((resolve) => launcher.on('exit', (code, signal) => resolve({ code, signal })));
  t.after(() => launcher.kill('SIGKILL'));
  await serving(port);
  return { port, launcher, ended };
}

function serving(port) {
  return until(async () => {
    try {
      return (await (await fetch(`http://127.0.0.1:${port}/api/ping`)).json()).service === 'quorvel';
    } catch {
      return false;
    }
  }, 30000);
}

async function openPage(t, port) {
  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.goto(`http://localhost:${port}/`);
  await page.getByText(/^Connected to Quorvel /).waitFor();
  return page;
}

test('quitting the launcher during a recording asks first, then finishes the file', async (t) => {
  const sound = startSoundServer();
  t.after(() => sound.stop());
  const support = fs.mkdtempSync(path.join(os.tmpdir(), 'launcher-e2e-'));
  t.after(() => fs.rmSync(support, { recursive: true, force: true }));
  const { port, launcher, ended } = await launch(t, app, support, sound.env);
  const log = path.join(support, 'Data', 'server.log');
  const page = await openPage(t, port);
  const player = sound.playTone(1000);
  t.after(() => player.kill('SIGKILL'));
  await page.getByRole('button', { name: 'Record the computer’s sound' }).click();
  await page.waitForFunction(() => document.getElementById('live-time').textContent >= '0:02');

  launcher.kill('SIGTERM');
  await until(() => fs.readFileSync(log, 'utf8').includes('quorvel server: quit refused, a recording is live'), 10000);
  assert.strictEqual(await page.locator('#live-state').textContent(), 'Recording');
  launcher.kill('SIGTERM');
  const status = await Promise.race([ended, new Promise((resolve) => setTimeout(() => resolve('late'), 15000))]);
  assert.notStrictEqual(status, 'late', 'the launcher is still running');
  assert.match(fs.readFileSync(log, 'utf8'), /quorvel server: quit requested \(forced\)/);

  const folder = path.join(support, 'Data', 'Recordings');
  const [name] = fs.readdirSync(folder);
  const samples = wavSamples(path.join(folder, name));
  assert.ok(samples.length >= 2 * 48000, `${samples.length} samples`);
  assert.strictEqual(peakFrequency(samples.subarray(samples.length - 24000), 48000, 500, 2000, 2), 1000);
});

test('moving the data folder restarts the server on it, and the page reconnects by itself', async (t) => {
  const support = fs.mkdtempSync(path.join(os.tmpdir(), 'launcher-e2e-'));
  t.after(() => fs.rmSync(support, { recursive: true, force: true }));
  const { port } = await launch(t, app, support, {});
  const texts = path.join(support, 'Data', 'Texts');
  fs.mkdirSync(texts, { recursive: true });
  fs.writeFileSync(path.join(texts, 'kept.txt'), 'kept');
  const page = await openPage(t, port);
  await page.getByRole('button', { name: 'Settings' }).click();
  const target = path.join(support, 'Moved Data');
  await page.locator('#data-path').fill(target);
  await page.getByRole('button', { name: 'Move the data folder' }).click();
  await page.getByText('Moving… Quorvel starts again on the new folder.').waitFor();
  await page.locator('#data-now', { hasText: target }).waitFor({ timeout: 20000 });
  await page.getByText(/^Connected to Quorvel /).waitFor();
  assert.strictEqual(fs.readFileSync(path.join(target, 'Texts', 'kept.txt'), 'utf8'), 'kept');
  await page.getByRole('button', { name: 'Files' }).click();
  await page.locator('#text-list li', { hasText: 'kept.txt' }).waitFor();
});

test('an update from the page comes back to the same page with its outcome', async (t) => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'launcher-update-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  // An installed copy of the bundle, and a download of a newer version that is not signed,
  // which the installer refuses after the application has quit.
  const installed = path.join(root, 'Apps', 'Quorvel.app');
  const download = path.join(root, 'Download', 'Quorvel.app');
  fs.mkdirSync(path.dirname(installed));
  fs.cpSync(app, installed, { recursive: true, verbatimSymlinks: true });
  fs.cpSync(app, download, { recursive: true, verbatimSymlinks: true });
  const plist = path.join(download, 'Contents', 'Info.plist');
  fs.writeFileSync(plist, fs.readFileSync(plist, 'utf8').replace(/(<key>CFBundleShortVersionString<\/key>\s*<string>)[^<]*/, '$19.9.9'));
  const support = path.join(root, 'Support');
  const { port, ended } = await launch(t, installed, support, { XDG_DATA_HOME: path.join(root, 'share') });
  // The relaunched application is the installer's child, not ours: a forced quit ends it.
  t.after(() => fetch(`http://127.0.0.1:${port}/api/quit`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"force":true}' }).catch(() => {}));
  const page = await openPage(t, port);
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.locator('#update-path').fill(path.dirname(download));
  await page.getByRole('button', { name: 'Check the update' }).click();
  await page.getByText(/^Version 9\.9\.9 is ready to install\./).waitFor();
  await page.getByRole('button', { name: 'Install and restart' }).click();
  assert.deepStrictEqual(await Promise.race([ended, new Promise((resolve) => setTimeout(() => resolve('late'), 10000))]), { code: 0, signal: null });
  // bundleswap starts the application again, on the same port: the open page finds it.
  await page.getByText(/The update to version 9\.9\.9 was not installed/).first().waitFor({ timeout: 60000 });
  const pages = (await (await fetch(`http://127.0.0.1:${port}/api/ping`)).json()).pages;
  assert.strictEqual(pages, 1);
  const result = JSON.parse(fs.readFileSync(path.join(support, 'Data', 'Updates', 'last-result.json'), 'utf8'));
  assert.deepStrictEqual([result.ok, result.to, result.code], [false, '9.9.9', 'verify']);
});
