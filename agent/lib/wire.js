'use strict';
// The control message and its reply, as they travel on the socket.
//
//   offset 0  command mask   (unsigned 32-bit, host order)
//   offset 4  sender pid     (normal message) or parameter (extended message)
//   offset 8  option text    (NUL-terminated)
//
// A normal message is 512 bytes, the extended one 1024; a reply has the
// size of the message it answers: 'Y' or 'N' at byte 0, a text from byte 3.
// An accepting first reply that needs no kick says so in bytes 1-2 ("NK")
// and at the beginning of its text ("no kick needed"): the client then
// sends no signal and waits for the second reply. A refusal marked "AA" in
// bytes 1-2 asks the client to ask again in a moment: the answer is being
// worked out (a census of the heap) and comes to the next ask.
const os = require('os');

const MSG_SIZE = 512;
const EXT_MSG_SIZE = 1024;
const TEXT_OFFSET = 8;
const PATH_WORD = '--specified_log_path=';
const NO_KICK_MARK = 'NK';
const NO_KICK_TEXT = 'no kick needed';
const ASK_AGAIN_MARK = 'AA';

const BIT = {
  HEAPDUMP: 0x1, FORCE_GC: 0x2, ENABLE_LOG: 0x4, DISABLE_LOG: 0x8,
  START_TIMELINE: 0x10, STOP_TIMELINE: 0x20, START_PROFILING: 0x40, STOP_PROFILING: 0x80,
  START_HEAP_PROFILING: 0x100, STOP_HEAP_PROFILING: 0x200, V8_OPTIONS: 0x400, STOP_V8_OPTIONS: 0x800,
  PRINT_V8FLAGS: 0x1000, DIAG_REPORT: 0x2000, CHILD_TO_PARENT: 0x4000,
  // quellix --stack: a bit of its own above the command table's rows.
  STACK: 0x20000,
};
const KNOWN_BITS = 0x7fff | BIT.STACK;
// The status query: how is the result file at the text's path doing? A bit of
// its own above the command table's rows, in the extended message only.
const STATUS_QUERY = 0x10000;

const LE = os.endianness() === 'LE';

// Returns { mask, param, text } or { error }.
function parseMessage(msg) {
  const mask = LE ? msg.readUInt32LE(0) : msg.readUInt32BE(0);
  const param = LE ? msg.readInt32LE(4) : msg.readInt32BE(4);
  const nul = msg.indexOf(0, TEXT_OFFSET);
  if (nul < 0) return { error: 'malformed message: option text is not NUL-terminated' };
  return { mask, param, text: msg.toString('utf8', TEXT_OFFSET, nul) };
}

// mark: two bytes for bytes 1 and 2 (NO_KICK_MARK, ASK_AGAIN_MARK), or none
// (zeros).
function replyBuffer(size, accepted, text, mark = null) {
  const buf = Buffer.alloc(size);
  buf[0] = accepted ? 0x59 : 0x4e; // 'Y' or 'N'
  if (mark) buf.write(mark, 1, 2, 'latin1');
  buf.write(text, 3, size - 4, 'utf8'); // the last byte stays NUL
  return buf;
}

// Splits the option text into its result path and the remaining flag words.
function parseOptionText(text) {
  let file = null;
  const flags = [];
  for (const word of text.split(' ')) {
    if (word.startsWith(PATH_WORD)) file = word.slice(PATH_WORD.length);
    else if (word !== '' && !word.startsWith('time=')) flags.push(word);
  }
  return { file, flags };
}

module.exports = { MSG_SIZE, EXT_MSG_SIZE, PATH_WORD, NO_KICK_MARK, NO_KICK_TEXT, ASK_AGAIN_MARK, BIT, KNOWN_BITS, STATUS_QUERY, parseMessage, replyBuffer, parseOptionText };
