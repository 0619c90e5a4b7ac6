'use strict';
// Updates and the data folder's place: both end this server with a status that tells the
// launcher what to do next (76: quit, bundleswap relaunches the application; 75: start
// the server again, on the folder the data-location file names).

const fs = require('node:fs');
const path = require('node:path');
const { spawn, spawnSync } = require('node:child_process');
const { freeName } = require('./files');

// A value of an Info.plist, for the plain <key>…</key><string>…</string> pairs it holds.
function plistValue(file, key) {
  let text;
  try {
    text = fs.readFileSync(file, 'utf8');
  } catch {
    return '';
  }
  const escaped = key.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const match = new RegExp(`<key>${escaped}</key>\\s*<string>([^<]*)</string>`).exec(text);
  return match ? match[1].replace(/&lt;/g, '<').replace(/&gt;/g, '>').replace(/&amp;/g, '&') : '';
}

const isArchive = (file) => /\.(tar\.gz|tgz|tar\.xz|tar)$/i.test(file);

// The bundle a downloaded update holds: the folder itself when it is a bundle, the one
// bundle inside it, or the one bundle in an archive, unpacked into work.
function findBundle(download, work) {
  if (typeof download !== 'string' || !path.isAbsolute(download)) {
    throw Object.assign(new Error('notAbsolute'), { status: 400 });
  }
  let stat;
  try {
    stat = fs.statSync(download);
  } catch {
    throw Object.assign(new Error('missing'), { status: 404 });
  }
  let folder = download;
  let unpacked = null;
  if (stat.isFile()) {
    if (!isArchive(download)) throw Object.assign(new Error('notBundle'), { status: 422 });
    fs.rmSync(work, { recursive: true, force: true });
    fs.mkdirSync(work, { recursive: true, mode: 0o700 });
    const run = spawnSync('tar', ['-x', '-f', download, '-C', work, '--no-same-owner'], { encoding: 'utf8' });
    if (run.status !== 0) {
      fs.rmSync(work, { recursive: true, force: true });
      throw Object.assign(new Error('notBundle'), { status: 422, detail: (run.stderr || '').trim() });
    }
    folder = work;
    unpacked = work;
  }
  const isBundle = (dir) => fs.existsSync(path.join(dir, 'Contents', 'Info.plist'));
  let bundle = isBundle(folder) ? folder : null;
  if (!bundle) {
    const inner = fs.readdirSync(folder).filter((name) => name.endsWith('.app') && isBundle(path.join(folder, name)));
    if (inner.length === 1) bundle = path.join(folder, inner[0]);
  }
  if (!bundle) {
    if (unpacked) fs.rmSync(unpacked, { recursive: true, force: true });
    throw Object.assign(new Error('notBundle'), { status: 422 });
  }
  const plist = path.join(bundle, 'Contents', 'Info.plist');
  return {
    bundle,
    unpacked,
    version: plistValue(plist, 'CFBundleShortVersionString'),
    identifier: plistValue(plist, 'CFBundleIdentifier'),
  };
}

// Starts bundleswap for the found update, in a session of its own so that it outlives the
// server and the launcher it waits for.
function startInstaller({ contents, dataDir, update, launcherPid, launchArgs = [] }) {
  const installed = path.join(contents, 'Info.plist');
  const folder = path.join(dataDir, 'Updates');
  fs.mkdirSync(folder, { recursive: true });
  const args = [
    '--app', path.dirname(contents),
    '--new', update.bundle,
    '--version', update.version,
    '--bundle-id', plistValue(installed, 'CFBundleIdentifier'),
    '--team', plistValue(installed, 'QuorvelTeamIdentifier'),
    '--wait', String(launcherPid),
    '--wait', String(process.pid),
    '--result', path.join(folder, 'result.json'),
    '--log', path.join(folder, 'update.log'),
  ];
  if (update.unpacked) args.push('--cleanup', update.unpacked);
  // The application comes back as it was started: same port, same folders.
  for (const arg of launchArgs) args.push('--relaunch-arg', arg);
  const child = spawn('bundleswap', args, { detached: true, stdio: 'ignore' });
  return new Promise((resolve, reject) => {
    child.on('error', reject);
    child.on('spawn', () => {
      child.unref();
      resolve(child.pid);
    });
  });
}

// The last installation's result, once: it is moved aside when read.
function takeResult(dataDir) {
  const file = path.join(dataDir, 'Updates', 'result.json');
  try {
    const result = JSON.parse(fs.readFileSync(file, 'utf8'));
    fs.renameSync(file, path.join(dataDir, 'Updates', 'last-result.json'));
    return result;
  } catch {
    return null;
  }
}

// Moves the data folder's own folders to target and records target in the support folder's
// data-location file. The log stays where the launcher writes it.
function moveDataFolder({ dataDir, support, target, movable }) {
  if (typeof target !== 'string' || !path.isAbsolute(target)) {
    throw Object.assign(new Error('notAbsolute'), { status: 400 });
  }
  const resolved = path.resolve(target);
  if (resolved === path.resolve(dataDir)) throw Object.assign(new Error('same'), { status: 400 });
  if (resolved.startsWith(path.resolve(dataDir) + path.sep)) throw Object.assign(new Error('inside'), { status: 400 });
  try {
    fs.mkdirSync(resolved, { recursive: true });
    fs.accessSync(resolved, fs.constants.W_OK);
  } catch (error) {
    throw Object.assign(new Error('notWritable'), { status: 422, detail: error.message });
  }
  for (const name of movable) {
    const from = path.join(dataDir, name);
    if (!fs.existsSync(from)) continue;
    const to = path.join(resolved, name);
    if (fs.existsSync(to)) {
      for (const entry of fs.readdirSync(from)) {
        const destination = path.join(to, freeName(to, entry));
        moveItem(path.join(from, entry), destination);
      }
      fs.rmSync(from, { recursive: true, force: true });
    } else {
      moveItem(from, to);
    }
  }
  fs.mkdirSync(support, { recursive: true });
  const file = path.join(support, 'data-location');
  fs.writeFileSync(`${file}.part`, `${resolved}\n`);
  fs.renameSync(`${file}.part`, file);
  return resolved;
}

// A rename where it can be one; across disks a copy, removed from the old place only once
// it is whole.
function moveItem(from, to) {
  try {
    fs.renameSync(from, to);
  } catch (error) {
    if (error.code !== 'EXDEV') throw error;
    fs.cpSync(from, to, { recursive: true, errorOnExist: true, preserveTimestamps: true });
    fs.rmSync(from, { recursive: true, force: true });
  }
}

module.exports = { plistValue, findBundle, startInstaller, takeResult, moveDataFolder };
