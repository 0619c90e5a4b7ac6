'use strict';
// The built bundle end to end: the launcher starts its server without opening a browser, the
// test's browser opens the page and records the computer's sound, and the launcher is asked
// to quit meanwhile. No one can answer its question here, so the first request is refused
// (409), the second one forces the quit, and the recording is finished into a whole file.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { chromium } = require('playwright-core');
const { startSoundServer, until, wavSamples, peakFrequency } = require('../server_helpers');

const app = process.env.QUORVEL_APP;

function freePort() {
  return new Promise((resolve) => {
    const probe = net.createServer();
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

test('quitting the launcher during a recording asks first, then finishes the file', async (t) => {
  const sound = startSoundServer();
  t.after(() => sound.stop());
  const support = fs.mkdtempSync(path.join(os.tmpdir(), 'launcher-e2e-'));
  t.after(() => fs.rmSync(support, { recursive: true, force: true }));
  const port = await freePort();
  const env = { ...process.env, ...sound.env };
  delete env.DISPLAY;
  delete env.WAYLAND_DISPLAY;
  const launcher = spawn(path.join(app, 'Contents', 'MacOS', 'Quorvel'), ['--no-browser', '--port', String(port), '--support', support], {
    env,
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  const ended = new Promise((resolve) => launcher.on('exit', (code, signal) => resolve({ code, signal })));
  t.after(() => launcher.kill('SIGKILL'));
  const log = path.join(support, 'Data', 'server.log');
  await until(async () => {
    try {
      return (await (await fetch(`http://127.0.0.1:${port}/api/ping`)).json()).service === 'quorvel';
    } catch {
      return false;
    }
  });

  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.goto(`http://localhost:${port}/`);
  await page.getByText(/^Connected to Quorvel /).waitFor();
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
