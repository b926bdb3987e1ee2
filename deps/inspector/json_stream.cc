// A JSON file read as a stream of events with RapidJSON's SAX reader, in
// bounded memory: a fixed read buffer, the iterative parser, and strings
// cut at a limit before the reader could hold a longer one. Uses RapidJSON
// (header-only) and nothing of the project.
#include "json_stream.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "rapidjson/error/en.h"
#include "rapidjson/reader.h"

namespace {

// The file through a fixed buffer, as RapidJSON's input stream. It follows
// the strings it passes (a quote opens one, a backslash escapes the next
// byte, a quote closes it) and ends the input inside one that grows past
// kJsonStringLimit, so that the reader stops with an error instead of
// holding it.
class FdStream {
 public:
  typedef char Ch;

  FdStream(int fd, char* buffer, size_t size) : fd_(fd), buffer_(buffer), size_(size - 1) { Refill(); }

  Ch Peek() const { return *current_; }
  Ch Take() {
    Ch c = *current_;
    if (current_ < last_) {
      ++current_;
    } else if (!ended_) {
      Refill();
    }
    Follow(c);
    return c;
  }
  size_t Tell() const { return count_ + static_cast<size_t>(current_ - buffer_); }

  // Never called by a reader that does not parse in place.
  void Put(Ch) {}
  void Flush() {}
  Ch* PutBegin() { return nullptr; }
  size_t PutEnd(Ch*) { return 0; }

  bool cut() const { return cut_; }
  int read_error() const { return read_error_; }

 private:
  void Refill() {
    if (last_ != nullptr) count_ += static_cast<size_t>(last_ + 1 - buffer_);
    ssize_t got;
    do {
      got = read(fd_, buffer_, size_);
    } while (got == -1 && errno == EINTR);
    if (got == -1) read_error_ = errno;
    size_t len = got > 0 ? static_cast<size_t>(got) : 0;
    current_ = buffer_;
    if (len == 0) {
      // The end: a NUL that Peek keeps returning.
      buffer_[0] = '\0';
      last_ = buffer_;
      ended_ = true;
      return;
    }
    last_ = buffer_ + len - 1;
  }

  void Follow(Ch c) {
    if (!in_string_) {
      if (c == '"') {
        in_string_ = true;
        string_bytes_ = 0;
      }
      return;
    }
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      in_string_ = false;
      return;
    }
    if (++string_bytes_ > kJsonStringLimit) EndHere();
  }

  void EndHere() {
    cut_ = true;
    ended_ = true;
    count_ = Tell();
    buffer_[0] = '\0';
    current_ = last_ = buffer_;
  }

  int fd_;
  char* buffer_;
  size_t size_;
  char* current_ = nullptr;
  char* last_ = nullptr;
  size_t count_ = 0;  // bytes before the buffer's first
  bool ended_ = false;
  bool in_string_ = false;
  bool escaped_ = false;
  size_t string_bytes_ = 0;
  bool cut_ = false;
  int read_error_ = 0;
};

// RapidJSON's events as JsonEvents: the key of a member goes with its
// value, and the nesting is counted.
struct Adapter : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Adapter> {
  explicit Adapter(JsonEvents* to) : events(to) {}

  const char* TakeKey() {
    if (!have_key) return nullptr;
    have_key = false;
    return key;
  }
  bool Deliver(JsonScalar* value) { return events->Scalar(TakeKey(), *value); }

  bool Null() {
    JsonScalar value = {JsonScalar::kNull, false, 0, 0, false, nullptr, 0};
    return Deliver(&value);
  }
  bool Bool(bool b) {
    JsonScalar value = {JsonScalar::kBool, false, 0, 0, b, nullptr, 0};
    return Deliver(&value);
  }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Int64(u); }
  bool Int64(int64_t i) {
    JsonScalar value = {JsonScalar::kNumber, true, i, static_cast<double>(i), false, nullptr, 0};
    return Deliver(&value);
  }
  bool Uint64(uint64_t u) {
    if (u <= static_cast<uint64_t>(INT64_MAX)) return Int64(static_cast<int64_t>(u));
    return Double(static_cast<double>(u));
  }
  bool Double(double d) {
    JsonScalar value = {JsonScalar::kNumber, false, 0, d, false, nullptr, 0};
    return Deliver(&value);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    JsonScalar value = {JsonScalar::kString, false, 0, 0, false, text, length};
    return Deliver(&value);
  }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    size_t len = length < sizeof(key) ? length : sizeof(key) - 1;
    memcpy(key, text, len);
    key[len] = '\0';
    have_key = true;
    return true;
  }
  bool Enter(bool array) {
    if (++depth > kJsonDepthLimit) {
      too_deep = true;
      return false;
    }
    return events->Open(TakeKey(), array);
  }
  bool StartObject() { return Enter(false); }
  bool StartArray() { return Enter(true); }
  bool EndObject(rapidjson::SizeType) {
    depth--;
    return events->Close(false);
  }
  bool EndArray(rapidjson::SizeType) {
    depth--;
    return events->Close(true);
  }

  JsonEvents* events;
  char key[64] = "";
  bool have_key = false;
  int depth = 0;
  bool too_deep = false;
};

}  // namespace

bool ReadJsonFile(int fd, JsonEvents* events, char* error, size_t size) {
  static char buffer[65536];
  FdStream stream(fd, buffer, sizeof(buffer));
  Adapter adapter(events);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<rapidjson::kParseIterativeFlag>(stream, adapter);
  error[0] = '\0';
  if (!result.IsError()) return true;
  size_t at = result.Offset();
  if (stream.read_error() != 0) {
    snprintf(error, size, "cannot read it: %s", strerror(stream.read_error()));
  } else if (stream.cut()) {
    snprintf(error, size, "a string longer than %zu bytes at byte %zu", kJsonStringLimit, at);
  } else if (adapter.too_deep) {
    snprintf(error, size, "nesting deeper than %d at byte %zu", kJsonDepthLimit, at);
  } else if (result.Code() != rapidjson::kParseErrorTermination) {
    // "Invalid value." as "invalid value at byte 0".
    char what[128];
    snprintf(what, sizeof(what), "%s", rapidjson::GetParseError_En(result.Code()));
    size_t len = strlen(what);
    if (len > 0 && what[len - 1] == '.') what[len - 1] = '\0';
    if (what[0] >= 'A' && what[0] <= 'Z') what[0] = static_cast<char>(what[0] - 'A' + 'a');
    snprintf(error, size, "%s at byte %zu", what, at);
  }
  return false;
}
