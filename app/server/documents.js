'use strict';
// Document jobs: each stored document goes through pagelift, one at a time (recognition
// takes both cores), and its text is kept in "Texts" once the document is read.

const fs = require('node:fs');
const path = require('node:path');
const { extractText, plainText } = require('./tools');
const { freeName } = require('./files');

class Documents {
  constructor({ textsDir, pagelift, report }) {
    this.textsDir = textsDir;
    this.pagelift = pagelift;
    this.report = report;
    this.jobs = new Map();
    this.waiting = [];
    this.running = false;
    this.nextId = 1;
  }

  add(file, name) {
    const job = { id: String(this.nextId++), name, file, state: 'running', progress: [0, 0], result: null, text: null, error: null };
    this.jobs.set(job.id, job);
    this.waiting.push(job);
    this.runNext();
    return job;
  }

  get(id) {
    return this.jobs.get(id) || null;
  }

  view(job) {
    return { id: job.id, name: job.name, state: job.state, progress: job.progress, result: job.result, text: job.text, error: job.error };
  }

  async runNext() {
    if (this.running || this.waiting.length === 0) return;
    this.running = true;
    const job = this.waiting.shift();
    this.report(this.view(job));
    try {
      const document = await extractText(this.pagelift, job.file, (done, total) => {
        job.progress = [done, total];
        this.report(this.view(job));
      });
      job.result = document;
      if (document.error) {
        job.state = 'failed';
        job.error = document.error;
      } else {
        job.text = this.keepText(job.name, document);
        job.state = 'done';
      }
    } catch (error) {
      job.state = 'failed';
      job.error = error.message;
    }
    this.report(this.view(job));
    this.running = false;
    this.runNext();
  }

  // The text file beside the others, written whole under a temporary name first; none when
  // the document holds no text at all.
  keepText(documentName, document) {
    const text = plainText(document);
    if (text.trim() === '') return null;
    fs.mkdirSync(this.textsDir, { recursive: true });
    const stem = path.basename(documentName, path.extname(documentName));
    const name = freeName(this.textsDir, `${stem}.txt`);
    const temporary = path.join(this.textsDir, `.${name}.part`);
    fs.writeFileSync(temporary, text);
    fs.renameSync(temporary, path.join(this.textsDir, name));
    return name;
  }
}

module.exports = { Documents };
