'use strict';
// The recorder's stream: messages back to back, each a type byte ("J" an event, "A" audio),
// a 32-bit little-endian payload length and the payload. Chunks from the socket may split
// a message anywhere, headers included.

const EVENT = 0x4a;
const AUDIO = 0x41;
const HEADER = 5;
// Far above anything the recorder sends (a tenth of a second of sound is 19 kB); a length
// beyond it means the stream is out of step, not a message to wait for.
const LONGEST_PAYLOAD = 16 * 1024 * 1024;

class FrameParser {
  constructor(onMessage, onBroken = () => {}) {
    this.onMessage = onMessage;
    this.onBroken = onBroken;
    this.broken = false;
    this.pending = [];
    this.pendingBytes = 0;
  }

  push(chunk) {
    if (this.broken) return;
    this.pending.push(chunk);
    this.pendingBytes += chunk.length;
    for (;;) {
      if (this.pendingBytes < HEADER) return;
      const head = this.peek(HEADER);
      const length = head.readUInt32LE(1);
      if ((head[0] !== EVENT && head[0] !== AUDIO) || length > LONGEST_PAYLOAD) {
        this.broken = true;
        this.pending = [];
        this.onBroken(`message of type ${head[0]} and ${length} bytes`);
        return;
      }
      if (this.pendingBytes < HEADER + length) return;
      const message = this.take(HEADER + length);
      this.onMessage(head[0], message.subarray(HEADER));
    }
  }

  // The first count bytes, without taking them.
  peek(count) {
    if (this.pending[0].length < count) this.pending = [Buffer.concat(this.pending)];
    return this.pending[0].subarray(0, count);
  }

  take(count) {
    const joined = this.pending.length === 1 ? this.pending[0] : Buffer.concat(this.pending);
    const taken = joined.subarray(0, count);
    const rest = joined.subarray(count);
    this.pending = rest.length > 0 ? [rest] : [];
    this.pendingBytes = rest.length;
    return taken;
  }
}

module.exports = { FrameParser, EVENT, AUDIO };
