'use strict';
// Quorvel installed on a person's desktop updates itself: two signed and notarised release
// archives of versions 1.0.0 and 1.1.0 are made with a throw-away certificate authority, the
// first is installed by a user without root (made by the test when it runs as root) in a
// private home, its launcher is started with the quorvel command, and the second is given to
// the page's update action. The open page must come back by itself showing version 1.1.0, and
// the relaunched launcher must answer ping with it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync, spawn } = require('node:child_process');
const { chromium } = require('playwright-core');
const { until, freePort } = require('../server_helpers');

const source = process.env.QUORVEL_SOURCE;
const asRoot = process.getuid() === 0;
const user = asRoot ? 'quorvel-home' : require('node:os').userInfo().username;

function userEnvironment(home) {
  return [`HOME=${home}`, `PATH=${home}/.local/bin:/usr/bin:/bin`, 'LANG=C.UTF-8', 'LANGUAGE=en'];
}

// argv as the user, with only what a login would give it.
function asUser(home, argv) {
  const command = ['env', '-i', ...userEnvironment(home), ...argv];
  return asRoot ? ['runuser', '-u', user, '--', ...command] : command;
}

async function ping(port) {
  try {
    return await (await fetch(`http://127.0.0.1:${port}/api/ping`)).json();
  } catch {
    return null;
  }
}

test('an installed Quorvel updates itself from a signed release archive through the page', async (t) => {
  const root = fs.mkdtempSync('/tmp/quorvel-update-e2e-');
  fs.chmodSync(root, 0o755);
  const home = path.join(root, 'home');
  fs.mkdirSync(home);
  if (asRoot) {
    try {
      execFileSync('id', [user], { stdio: 'ignore' });
    } catch {
      execFileSync('useradd', ['--system', '--no-create-home', '--shell', '/bin/sh', user]);
    }
    execFileSync('chown', [user, home]);
  }
  t.after(() => {
    try {
      execFileSync('pkill', ['-KILL', '-f', root]);
    } catch {}
    fs.rmSync(root, { recursive: true, force: true });
  });

  const ca = path.join(root, 'ca');
  execFileSync('bash', [path.join(source, 'bundleswap', 'tests', 'make-test-ca.sh'), ca], { stdio: 'ignore' });
  const trust = path.join(root, 'trust');
  fs.mkdirSync(trust);
  fs.copyFileSync(path.join(ca, 'root.pem'), path.join(trust, 'publisher-roots.pem'));
  fs.copyFileSync(path.join(ca, 'notary-root.pem'), path.join(trust, 'notary-roots.pem'));
  const signing = {
    ...process.env,
    QUORVEL_TRUST_DIR: trust,
    QUORVEL_SIGN_KEY: path.join(ca, 'leaf.key'),
    QUORVEL_SIGN_CERT: path.join(ca, 'leaf.pem'),
    QUORVEL_SIGN_CHAIN: path.join(ca, 'intermediate.pem'),
    QUORVEL_NOTARY_KEY: path.join(ca, 'notary.key'),
    QUORVEL_NOTARY_CERT: path.join(ca, 'notary.pem'),
  };
  const release = (version) =>
    execFileSync('bash', [path.join(source, 'scripts', 'release.sh'), '--version', version, '--team', 'TEAMA12345', '--out', root], { env: signing })
      .toString()
      .trim();
  const older = release('1.0.0');
  const newer = release('1.1.0');
  assert.match(path.basename(newer), /^Quorvel-1\.1\.0-linux-.+\.tar\.gz$/);
  fs.chmodSync(older, 0o644);
  fs.chmodSync(newer, 0o644);

  const unpacked = path.join(root, 'unpacked');
  fs.mkdirSync(unpacked, { mode: 0o755 });
  execFileSync('tar', ['-C', unpacked, '-xzf', older]);
  execFileSync('chmod', ['-R', 'a+rX', unpacked]);
  const [installer, ...installArgs] = asUser(home, ['sh', path.join(unpacked, 'install.sh')]);
  execFileSync(installer, installArgs, { stdio: 'ignore' });

  const port = await freePort();
  const [program, ...args] = asUser(home, ['quorvel', '--no-browser', '--port', String(port)]);
  const launcher = spawn(program, args, { stdio: 'ignore' });
  t.after(() => fetch(`http://127.0.0.1:${port}/api/quit`, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: '{"force":true}' }).catch(() => {}));
  t.after(() => launcher.kill('SIGKILL'));
  await until(async () => (await ping(port))?.version === '1.0.0', 30000);

  const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.goto(`http://localhost:${port}/`);
  await page.getByText('Connected to Quorvel 1.0.0.').waitFor();
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.locator('#update-path').fill(newer);
  await page.getByRole('button', { name: 'Check the update' }).click();
  await page.getByText(/^Version 1\.1\.0 is ready to install\./).waitFor({ timeout: 30000 });
  const asked = Date.now();
  await page.getByRole('button', { name: 'Install and restart' }).click();
  await page.getByText('Connected to Quorvel 1.1.0.').waitFor({ timeout: 120000 });
  const seconds = (Date.now() - asked) / 1000;
  console.log(`update from the request to the page showing 1.1.0: ${seconds.toFixed(1)} s`);
  await page.getByText('Quorvel was updated from version 1.0.0 to 1.1.0.').first().waitFor({ timeout: 10000 });
  const answer = await ping(port);
  assert.strictEqual(answer.version, '1.1.0');
  assert.strictEqual(answer.pages, 1);
  const installed = fs.readFileSync(path.join(home, '.local', 'lib', 'quorvel', 'Quorvel.app', 'Contents', 'Info.plist'), 'utf8');
  assert.match(installed, /<string>1\.1\.0<\/string>/);
});
