'use strict';
// The data folder's files as the page sees them: names that stay inside their folder,
// listings, files served with ranges, uploads written under a temporary name.

const fs = require('node:fs');
const path = require('node:path');
const crypto = require('node:crypto');

const UPLOAD_LIMIT = 512 * 1024 * 1024;

// A file name the page may use: one path component, no dot-only names, no separators,
// no control characters. Null for anything else.
function safeName(name) {
  if (typeof name !== 'string' || name.length === 0 || name.length > 255) return null;
  if (name === '.' || name === '..' || name.startsWith('.')) return null;
  if (/[/\\\u0000-\u001f\u007f]/.test(name)) return null;
  return name;
}

// The path of name inside folder, or null when the name is not safe.
function inside(folder, name) {
  const safe = safeName(name);
  if (!safe) return null;
  const full = path.join(folder, safe);
  return path.dirname(full) === path.resolve(folder) ? full : null;
}

// A name not yet taken in folder: the wanted one, or with " 2", " 3"... before its extension.
function freeName(folder, wanted) {
  const extension = path.extname(wanted);
  const stem = wanted.slice(0, wanted.length - extension.length);
  for (let n = 1; ; n += 1) {
    const name = n === 1 ? wanted : `${stem} ${n}${extension}`;
    if (!fs.existsSync(path.join(folder, name))) return name;
  }
}

function list(folder, kindOf) {
  let names = [];
  try {
    names = fs.readdirSync(folder);
  } catch {
    return [];
  }
  const entries = [];
  for (const name of names) {
    if (!safeName(name)) continue;
    let stat;
    try {
      stat = fs.statSync(path.join(folder, name));
    } catch {
      continue;
    }
    if (!stat.isFile()) continue;
    entries.push({ name, kind: kindOf(name), bytes: stat.size, created: stat.mtime.toISOString() });
  }
  return entries.sort((a, b) => b.created.localeCompare(a.created) || a.name.localeCompare(b.name));
}

const TYPES = {
  '.wav': 'audio/wav',
  '.mp4': 'video/mp4',
  '.txt': 'text/plain; charset=utf-8',
  '.json': 'application/json',
  '.pdf': 'application/pdf',
  '.png': 'image/png',
  '.jpg': 'image/jpeg',
  '.jpeg': 'image/jpeg',
};

// The byte range a Range header asks of a file of size bytes: {start, end} (end included),
// null for the whole file, or 'unsatisfiable'.
function rangeOf(header, size) {
  if (!header) return null;
  const match = /^bytes=(\d*)-(\d*)$/.exec(header.trim());
  if (!match || (match[1] === '' && match[2] === '')) return null;
  let start;
  let end;
  if (match[1] === '') {
    const suffix = Number(match[2]);
    if (suffix === 0) return 'unsatisfiable';
    start = Math.max(0, size - suffix);
    end = size - 1;
  } else {
    start = Number(match[1]);
    end = match[2] === '' ? size - 1 : Math.min(Number(match[2]), size - 1);
  }
  if (start >= size || end < start) return 'unsatisfiable';
  return { start, end };
}

function serveFile(req, res, file, download) {
  let stat;
  try {
    stat = fs.statSync(file);
  } catch {
    stat = null;
  }
  if (!stat || !stat.isFile()) {
    res.writeHead(404, { 'Content-Type': 'application/json' });
    res.end(JSON.stringify({ error: 'not found' }));
    return;
  }
  const headers = {
    'Content-Type': TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream',
    'Accept-Ranges': 'bytes',
    'Cache-Control': 'no-cache',
    'X-Content-Type-Options': 'nosniff',
  };
  if (download) {
    headers['Content-Disposition'] = `attachment; filename*=UTF-8''${encodeURIComponent(path.basename(file))}`;
  }
  const range = rangeOf(req.headers.range, stat.size);
  if (range === 'unsatisfiable') {
    res.writeHead(416, { ...headers, 'Content-Range': `bytes */${stat.size}` });
    res.end();
    return;
  }
  const { start, end } = range || { start: 0, end: stat.size - 1 };
  const status = range ? 206 : 200;
  if (range) headers['Content-Range'] = `bytes ${start}-${end}/${stat.size}`;
  headers['Content-Length'] = stat.size === 0 ? 0 : end - start + 1;
  res.writeHead(status, headers);
  if (req.method === 'HEAD' || stat.size === 0) {
    res.end();
    return;
  }
  fs.createReadStream(file, { start, end }).pipe(res);
}

// Writes the request's body to folder/name through a temporary name, renamed once the
// whole body is there. Resolves with the final name; rejects with an error whose status
// says why (413 over the limit).
function receiveUpload(req, folder, wanted, limit = UPLOAD_LIMIT) {
  return new Promise((resolve, reject) => {
    const declared = Number(req.headers['content-length']);
    if (Number.isFinite(declared) && declared > limit) {
      req.resume();
      reject(Object.assign(new Error('too large'), { status: 413 }));
      return;
    }
    fs.mkdirSync(folder, { recursive: true });
    const temporary = path.join(folder, `.upload-${crypto.randomBytes(8).toString('hex')}`);
    const out = fs.createWriteStream(temporary, { flags: 'wx', mode: 0o644 });
    let received = 0;
    let failed = false;
    const fail = (error) => {
      if (failed) return;
      failed = true;
      req.unpipe(out);
      req.resume();
      out.destroy();
      fs.rm(temporary, { force: true }, () => reject(error));
    };
    req.on('data', (chunk) => {
      received += chunk.length;
      if (received > limit) fail(Object.assign(new Error('too large'), { status: 413 }));
    });
    req.on('aborted', () => fail(Object.assign(new Error('upload cut off'), { status: 400 })));
    req.on('error', fail);
    out.on('error', fail);
    out.on('finish', () => {
      if (failed) return;
      if (received === 0) {
        fail(Object.assign(new Error('empty upload'), { status: 400 }));
        return;
      }
      const name = freeName(folder, wanted);
      fs.rename(temporary, path.join(folder, name), (error) => {
        if (error) fail(error);
        else resolve(name);
      });
    });
    req.pipe(out);
  });
}

module.exports = { safeName, inside, freeName, list, serveFile, rangeOf, receiveUpload, UPLOAD_LIMIT };
