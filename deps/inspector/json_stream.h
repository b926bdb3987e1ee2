// A JSON file read as a stream of events, in bounded memory whatever its
// size: what the summaries and the output formats read result files with.
#ifndef QUELLIX_DEPS_INSPECTOR_JSON_STREAM_H_
#define QUELLIX_DEPS_INSPECTOR_JSON_STREAM_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// One value that holds no other: a number, a string, true, false or null.
struct JsonScalar {
  enum Kind { kNull, kBool, kNumber, kString } kind;
  bool is_integer;  // a number that fits int64_t, in integer
  int64_t integer;
  double number;  // every number, as a double
  bool boolean;
  const char* text;  // a string's bytes (valid during the call), NUL-ended
  size_t length;
};

// What a reader of one kind of file does with the events. key is the
// member's name inside an object (cut to 63 bytes, so that no cut name
// equals a shorter one), and null inside an array and for the whole
// document. Each returns false to stop the reading, which then fails with
// the reason the reader left in its own state.
class JsonEvents {
 public:
  virtual ~JsonEvents() = default;
  virtual bool Open(const char* key, bool array) = 0;
  virtual bool Close(bool array) = 0;
  virtual bool Scalar(const char* key, const JsonScalar& value) = 0;
};

// The deepest nesting read; deeper documents are refused.
const int kJsonDepthLimit = 100000;
// The longest string read (the parser holds one string whole).
const size_t kJsonStringLimit = 1 << 20;

// Reads the JSON document on fd from its current offset to its end, handing
// each value to events. False when the document is malformed, a limit is
// passed, a read fails or events stopped it; then error (size bytes) says
// why, unless events stopped it (error is then empty).
bool ReadJsonFile(int fd, JsonEvents* events, char* error, size_t size);

// ReadJsonFile for a reader that also checks the whole document at its end:
// Reader has Finish(), false for a document that lacks what the reader
// needs, and reason(), why it stopped. False with error set when the
// reading or the check fails.
template <typename Reader>
bool ReadJsonDocument(int fd, Reader* reader, char* error, size_t size) {
  if (!ReadJsonFile(fd, reader, error, size)) {
    if (error[0] == '\0') snprintf(error, size, "%s", reader->reason());
    return false;
  }
  if (!reader->Finish()) {
    snprintf(error, size, "%s", reader->reason());
    return false;
  }
  return true;
}

#endif  // QUELLIX_DEPS_INSPECTOR_JSON_STREAM_H_
