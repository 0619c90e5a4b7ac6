'use strict';
// Runs the document tools: pagelift for a document's text (its progress lines on standard
// error feed the page's progress bar) and glyphgauge for the size of text in pictures.

const { spawn } = require('node:child_process');

// Runs a tool to its end; resolves with its status and standard output, calling onLine for
// each line of standard error. Rejects when the tool cannot be started.
function runTool(executable, args, onLine = () => {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(executable, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    const out = [];
    let pending = '';
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => {
      const lines = (pending + chunk).split('\n');
      pending = lines.pop();
      for (const line of lines) onLine(line);
    });
    child.on('error', reject);
    child.on('close', (code, signal) => {
      if (pending) onLine(pending);
      resolve({ code, signal, output: Buffer.concat(out).toString('utf8') });
    });
  });
}

// pagelift's document for file, calling onProgress(done, total) on each recognised page.
async function extractText(pagelift, file, onProgress) {
  const run = await runTool(pagelift, [file], (line) => {
    const match = /^(\d+)\/(\d+)$/.exec(line.trim());
    if (match) onProgress(Number(match[1]), Number(match[2]));
  });
  if (run.code !== 0) throw new Error(`pagelift ended with ${run.signal || `status ${run.code}`}`);
  const document = JSON.parse(run.output);
  if (!document || (typeof document.error !== 'string' && !Array.isArray(document.pages))) {
    throw new Error('pagelift printed no document');
  }
  return document;
}

// glyphgauge's measurements, one per file, in order.
async function measureText(glyphgauge, files) {
  const run = await runTool(glyphgauge, files);
  if (run.code !== 0) throw new Error(`glyphgauge ended with ${run.signal || `status ${run.code}`}`);
  const measured = JSON.parse(run.output);
  if (!Array.isArray(measured) || measured.length !== files.length) {
    throw new Error('glyphgauge printed no measurements');
  }
  return measured;
}

// The document's text as a plain-text file holds it: pages in order, a blank line between.
function plainText(document) {
  return (document.pages || []).map((page) => page.text).join('\n\n') + '\n';
}

module.exports = { extractText, measureText, plainText };
