'use strict';
// Moving the data folder and installing an update: both end the server with the status that
// tells the launcher what to do next.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startServer, call, until, listen } = require('./server_helpers');

const within = (promise, ms) => Promise.race([promise, new Promise((resolve) => setTimeout(() => resolve('late'), ms))]);

test('the data folder moves with its files, and the server asks to be started again', async (t) => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'settings-test-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  const support = path.join(root, 'Support');
  const dataDir = path.join(support, 'Data');
  fs.mkdirSync(path.join(dataDir, 'Recordings'), { recursive: true });
  fs.writeFileSync(path.join(dataDir, 'Recordings', 'a.wav'), 'sound');
  fs.writeFileSync(path.join(dataDir, 'server.log'), 'log');
  const server = await startServer({ QUORVEL_SUPPORT: support }, { dataDir });

  const refused = [
    [{ path: 'relative/place' }, 400, 'notAbsolute'],
    [{ path: dataDir }, 400, 'same'],
    [{ path: path.join(dataDir, 'Inner') }, 400, 'inside'],
    [{}, 400, 'notAbsolute'],
  ];
  for (const [body, status, error] of refused) {
    const answer = await call(server, 'POST', '/api/settings/data-folder', body);
    assert.deepStrictEqual([answer.status, answer.body.error], [status, error], JSON.stringify(body));
  }
  assert.ok(!fs.existsSync(path.join(support, 'data-location')));

  const target = path.join(root, 'Elsewhere', 'Quorvel Data');
  const moved = await call(server, 'POST', '/api/settings/data-folder', { path: target });
  assert.strictEqual(moved.status, 200);
  assert.deepStrictEqual(await within(server.exited, 5000), { code: 75, signal: null });
  assert.strictEqual(fs.readFileSync(path.join(support, 'data-location'), 'utf8').trim(), target);
  assert.strictEqual(fs.readFileSync(path.join(target, 'Recordings', 'a.wav'), 'utf8'), 'sound');
  assert.ok(!fs.existsSync(path.join(dataDir, 'Recordings')));
  assert.ok(fs.existsSync(path.join(dataDir, 'server.log')));
});

function writeBundle(folder, version, launcherScript) {
  fs.mkdirSync(path.join(folder, 'Contents', 'MacOS'), { recursive: true });
  fs.writeFileSync(path.join(folder, 'Contents', 'Info.plist'), `<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.quorvel.Quorvel</string>
<key>CFBundleExecutable</key><string>Quorvel</string>
<key>CFBundleShortVersionString</key><string>${version}</string>
<key>QuorvelTeamIdentifier</key><string>QRVLTEST01</string>
</dict></plist>
`);
  fs.writeFileSync(path.join(folder, 'Contents', 'MacOS', 'Quorvel'), launcherScript, { mode: 0o755 });
}

test('an update is handed to bundleswap, and its outcome reaches the page after the relaunch', async (t) => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'update-test-'));
  t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  const dataDir = path.join(root, 'Data');
  fs.mkdirSync(dataDir);
  const relaunched = path.join(root, 'relaunched');
  const app = path.join(root, 'Apps', 'Quorvel.app');
  writeBundle(app, '0.1.0', `#!/bin/sh\necho "$@" > '${relaunched}'\n`);
  const download = path.join(root, 'Download', 'Quorvel.app');
  writeBundle(download, '0.2.0', '#!/bin/sh\n');
  const env = {
    QUORVEL_BUNDLE: path.join(app, 'Contents'),
    XDG_DATA_HOME: path.join(root, 'share'),
    QUORVEL_LAUNCH_ARGS: JSON.stringify(['--port', '6123', '--data', '/a place/with spaces']),
  };
  const server = await startServer(env, { dataDir, parent: true });
  t.after(() => server.stop());

  const cases = [
    [{ path: 'Download/Quorvel.app' }, 400, 'notAbsolute'],
    [{ path: path.join(root, 'nothing') }, 404, 'missing'],
    [{ path: root + '/Apps/Quorvel.app/Contents/Info.plist' }, 422, 'notBundle'],
  ];
  for (const [body, status, error] of cases) {
    const answer = await call(server, 'POST', '/api/update/check', body);
    assert.deepStrictEqual([answer.status, answer.body.error], [status, error], JSON.stringify(body));
  }
  const checked = await call(server, 'POST', '/api/update/check', { path: path.dirname(download) });
  assert.deepStrictEqual(checked.body, { version: '0.2.0', identifier: 'org.quorvel.Quorvel', current: '0.1.0', matches: true });

  const installing = await call(server, 'POST', '/api/update/install', { path: download });
  assert.strictEqual(installing.status, 202);
  assert.deepStrictEqual(await within(server.exited, 5000), { code: 76, signal: null });
  // bundleswap waits for both to end, installs (this download is not signed, so it is
  // refused) and starts the application again.
  await until(() => fs.existsSync(relaunched), 30000);
  assert.strictEqual(fs.readFileSync(relaunched, 'utf8').trim(), '--port 6123 --data /a place/with spaces --after-update');
  const log = fs.readFileSync(path.join(dataDir, 'Updates', 'update.log'), 'utf8');
  assert.match(log, /Z /);

  const after = await startServer(env, { dataDir });
  t.after(() => after.stop());
  const page = listen(after);
  t.after(() => page.close());
  const hello = await until(() => page.seen.find((e) => e.event === 'hello'));
  assert.strictEqual(hello.data.update.ok, false);
  assert.strictEqual(hello.data.update.code, 'verify');
  assert.strictEqual(hello.data.update.to, '0.2.0');
  assert.strictEqual(hello.data.update.from, '0.1.0');
  assert.ok(fs.existsSync(path.join(app, 'Contents', 'MacOS', 'Quorvel')), 'the installed bundle is kept');
});

