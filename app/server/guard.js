'use strict';
// Who may talk to the server: its own page and the launcher, on this machine. Any web page
// the user visits can send requests to localhost too, and a name that a foreign DNS server
// points at 127.0.0.1 reaches it with a foreign Host; both are refused here.

const STATE_CHANGING = new Set(['POST', 'PUT', 'PATCH', 'DELETE']);
const SENT_ONLY_AFTER_PREFLIGHT = new Set(['application/json', 'application/octet-stream']);

// The answer for a request that may not go on, or null when it may.
function refusal(req, port) {
  const hosts = [`localhost:${port}`, `127.0.0.1:${port}`];
  const host = String(req.headers.host || '').toLowerCase();
  if (!hosts.includes(host)) return { status: 403, error: 'unknown host' };
  const origin = req.headers.origin;
  if (origin !== undefined && !hosts.some((h) => origin === `http://${h}`)) {
    return { status: 403, error: 'foreign origin' };
  }
  // A cross-site page can send a form or plain text without asking first, but JSON or raw
  // bytes (an upload) only after a preflight, which this server never grants.
  if (STATE_CHANGING.has(req.method)) {
    const type = String(req.headers['content-type'] || '').split(';')[0].trim().toLowerCase();
    if (!SENT_ONLY_AFTER_PREFLIGHT.has(type)) return { status: 415, error: 'requests must be JSON' };
  }
  return null;
}

module.exports = { refusal };
