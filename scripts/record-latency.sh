#!/usr/bin/env bash
# Prints the time from pressing Record (the page's POST /api/recordings) to the first sound
# in the WAV file, over RUNS (10) recordings of a tone on a private PulseAudio server, with the
# server component and sonacap from build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
QUORVEL_TOOLS=$top/build/bin QUORVEL_SOUND_SERVER=$top/server/sound-server.sh \
  node - "${1:-10}" <<'JS'
const fs = require('node:fs');
const path = require('node:path');
const helpers = require(path.join(process.env.QUORVEL_TOOLS, '..', '..', 'app', 'tests', 'server_helpers'));
const { startServer, startSoundServer, call, until } = helpers;
(async () => {
  const runs = Number(process.argv[2]);
  const sound = startSoundServer();
  const player = sound.playTone(1000);
  const server = await startServer(sound.env);
  const times = [];
  try {
    for (let i = 0; i < runs; i += 1) {
      const pressed = process.hrtime.bigint();
      const { body } = await call(server, 'POST', '/api/recordings', { kind: 'audio' });
      const file = path.join(server.dataDir, 'Recordings', body.name);
      await until(() => fs.existsSync(file) && fs.statSync(file).size > 58, 10000);
      times.push(Number(process.hrtime.bigint() - pressed) / 1e6);
      await call(server, 'POST', '/api/recordings/current/stop');
      await until(async () => (await call(server, 'GET', '/api/recordings/current')).body === null, 10000);
    }
  } finally {
    player.kill('SIGKILL');
    server.stop();
    sound.stop();
  }
  times.sort((a, b) => a - b);
  const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))].toFixed(0);
  console.log(`press to first sound in the file, ${runs} recordings: min ${at(0)} ms, median ${at(0.5)} ms, max ${at(1)} ms`);
})();
JS
