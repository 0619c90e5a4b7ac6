'use strict';
// A stand-in server for the launcher's tests, steered by FAKE_* variables:
//   FAKE_PING  "marker" (default) answers ping as our server, "plain" without the marker
//   FAKE_PAGES the "pages" count in the ping answer (default 0)
//   FAKE_QUIT  "ok" (default) answers 200 and exits, "recording" answers 409 unless forced,
//              "hang" never answers a quit request (it still exits on SIGTERM)
//   FAKE_QUIT_DELAY_MS  how long after answering a quit the process exits (default 0)
//   FAKE_LOG   a file that records each request and SIGTERM, one line each
const http = require('node:http');
const fs = require('node:fs');

const record = (line) => {
  if (process.env.FAKE_LOG) fs.appendFileSync(process.env.FAKE_LOG, line + '\n');
};
const mode = process.env.FAKE_QUIT || 'ok';

http
  .createServer((req, res) => {
    let body = '';
    req.on('data', (chunk) => (body += chunk));
    req.on('end', () => {
      record(`${req.method} ${req.url} ${body}`);
      if (req.url === '/api/ping') {
        const pages = Number(process.env.FAKE_PAGES || 0);
        const name = process.env.FAKE_PING === 'plain' ? 'other' : 'quorvel';
        res.writeHead(200, { 'Content-Type': 'application/json', Connection: 'close' });
        res.end(JSON.stringify({ service: name, pages }));
      } else if (req.url === '/api/quit') {
        if (mode === 'hang') return;
        if (mode === 'recording' && !JSON.parse(body || '{}').force) {
          res.writeHead(409, { Connection: 'close' });
          res.end();
          return;
        }
        res.writeHead(200, { Connection: 'close' });
        res.end();
        setTimeout(() => process.exit(0), Number(process.env.FAKE_QUIT_DELAY_MS || 0));
      } else {
        res.writeHead(404, { Connection: 'close' });
        res.end();
      }
    });
  })
  .listen(Number(process.env.PORT), '127.0.0.1', () => console.log('fake server up'));

process.on('SIGTERM', () => {
  record('SIGTERM');
  process.exit(0);
});
