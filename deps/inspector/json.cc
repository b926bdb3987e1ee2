// JSON within bounds, for what a target's inspector answers and for the
// objects of --json: finding one member of a reply, and escaping outside
// text into a JSON string. Uses only the C library.
#include "json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Deeper JSON is no answer of node's inspector.
const int JSON_DEPTH_LIMIT = 32;

}  // namespace

// A cursor over JSON text; every step checks the end first.
struct JsonCursor {
  const char* at;
  const char* end;
};

static void SkipBlanks(JsonCursor* c) {
  while (c->at < c->end && (*c->at == ' ' || *c->at == '\t' || *c->at == '\n' || *c->at == '\r')) c->at++;
}

// Steps over a string (the cursor on its quote); false when it is not closed.
static bool SkipString(JsonCursor* c) {
  for (c->at++; c->at < c->end; c->at++) {
    if (*c->at == '\\') {
      if (++c->at >= c->end) return false;
    } else if (*c->at == '"') {
      c->at++;
      return true;
    }
  }
  return false;
}

// Appends the UTF-8 of code to out, within size.
static void PutUtf8(unsigned long code, char* out, size_t size, size_t* used) {
  unsigned char bytes[4];
  size_t n;
  if (code < 0x80) {
    bytes[0] = static_cast<unsigned char>(code);
    n = 1;
  } else if (code < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xc0 | (code >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3f));
    n = 2;
  } else if (code < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xe0 | (code >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3f));
    bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3f));
    n = 3;
  } else {
    bytes[0] = static_cast<unsigned char>(0xf0 | (code >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3f));
    bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3f));
    bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3f));
    n = 4;
  }
  if (*used + n >= size) return;
  memcpy(out + *used, bytes, n);
  *used += n;
}

// Four hex digits at p (at least four bytes before end); -1 when not.
static long Hex4(const char* p, const char* end) {
  if (end - p < 4) return -1;
  char digits[5] = {p[0], p[1], p[2], p[3], '\0'};
  if (strspn(digits, "0123456789abcdefABCDEF") != 4) return -1;
  return strtol(digits, nullptr, 16);
}

// Unescapes the string at the cursor (on its quote) into out; a code point
// that is no character (a lone surrogate) becomes U+FFFD.
static bool ReadString(JsonCursor* c, char* out, size_t size) {
  size_t used = 0;
  for (c->at++; c->at < c->end; c->at++) {
    char ch = *c->at;
    if (ch == '"') {
      c->at++;
      if (size > 0) out[used < size ? used : size - 1] = '\0';
      return true;
    }
    if (ch != '\\') {
      if (used + 1 < size) out[used++] = ch;
      continue;
    }
    if (++c->at >= c->end || *c->at == '\0') return false;
    static const char kEscapes[] = "\"\"\\\\//b\bf\fn\nr\rt\t";
    const char* found = strchr(kEscapes, *c->at);
    if (*c->at != 'u') {
      if (found == nullptr || (found - kEscapes) % 2 != 0) return false;
      if (used + 1 < size) out[used++] = found[1];
      continue;
    }
    long code = Hex4(c->at + 1, c->end);
    if (code < 0) return false;
    c->at += 4;
    if (code >= 0xd800 && code < 0xdc00 && c->end - c->at > 6 && c->at[1] == '\\' && c->at[2] == 'u') {
      long low = Hex4(c->at + 3, c->end);
      if (low >= 0xdc00 && low < 0xe000) {
        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        c->at += 6;
      }
    }
    if (code >= 0xd800 && code < 0xe000) code = 0xfffd;
    PutUtf8(static_cast<unsigned long>(code), out, size, &used);
  }
  return false;
}

// Steps over one value; a member named key met on the way (at depth 0, or
// at any depth when any_depth) stops the walk with *found on its value.
static bool WalkValue(JsonCursor* c, int depth, const char* key, bool any_depth, const char** found);

static bool WalkContainer(JsonCursor* c, int depth, const char* key, bool any_depth, const char** found) {
  const char close = *c->at == '{' ? '}' : ']';
  const bool object = close == '}';
  c->at++;
  SkipBlanks(c);
  if (c->at < c->end && *c->at == close) {
    c->at++;
    return true;
  }
  for (;;) {
    if (object) {
      SkipBlanks(c);
      if (c->at >= c->end || *c->at != '"') return false;
      const char* name = c->at + 1;
      if (!SkipString(c)) return false;
      size_t name_len = static_cast<size_t>(c->at - 1 - name);
      SkipBlanks(c);
      if (c->at >= c->end || *c->at != ':') return false;
      c->at++;
      SkipBlanks(c);
      if ((depth == 0 || any_depth) && name_len == strlen(key) && memcmp(name, key, name_len) == 0) {
        *found = c->at;
        return true;
      }
    }
    if (!WalkValue(c, depth + 1, key, any_depth, found)) return false;
    if (*found != nullptr) return true;
    SkipBlanks(c);
    if (c->at >= c->end) return false;
    if (*c->at == close) {
      c->at++;
      return true;
    }
    if (*c->at != ',') return false;
    c->at++;
  }
}

static bool WalkValue(JsonCursor* c, int depth, const char* key, bool any_depth, const char** found) {
  SkipBlanks(c);
  if (c->at >= c->end || depth > JSON_DEPTH_LIMIT) return false;
  if (*c->at == '{' || *c->at == '[') return WalkContainer(c, depth, key, any_depth, found);
  if (*c->at == '"') return SkipString(c);
  const char* start = c->at;
  while (c->at < c->end && strchr(",}] \t\r\n", *c->at) == nullptr) c->at++;
  return c->at > start;
}

// Copies the value that begins at found (before end) into value: a string
// unescaped, anything else as written; its kind as JsonMember returns it.
static int CopyValue(const char* found, const char* end, char* value, size_t size) {
  JsonCursor v = {found, end};
  if (*found == '"') {
    if (ReadString(&v, value, size)) return 's';
    value[0] = '\0';
    return 0;
  }
  // At depth 1, where no member is looked for: a member named "" is no stop.
  const char* none = nullptr;
  if (!WalkValue(&v, 1, "", false, &none)) return 0;
  snprintf(value, size, "%.*s", static_cast<int>(v.at - found), found);
  if (*found == '{') return 'o';
  return *found == '[' ? 'a' : 'v';
}

int JsonMember(const char* json, size_t len, const char* key, bool any_depth, char* value, size_t size) {
  if (size == 0) return 0;
  value[0] = '\0';
  JsonCursor c = {json, json + len};
  const char* found = nullptr;
  SkipBlanks(&c);
  // Members are looked for in objects; a top-level array holds them one deeper.
  if (c.at >= c.end || (*c.at != '{' && *c.at != '[')) return 0;
  if (!WalkContainer(&c, *c.at == '[' ? -1 : 0, key, any_depth, &found) || found == nullptr || found >= c.end) return 0;
  return CopyValue(found, c.end, value, size);
}

int JsonElement(const char* json, size_t len, int index, char* value, size_t size) {
  if (size == 0) return 0;
  value[0] = '\0';
  JsonCursor c = {json, json + len};
  SkipBlanks(&c);
  if (c.at >= c.end || *c.at != '[' || index < 0) return 0;
  c.at++;
  const char* none = nullptr;
  for (int i = 0;; i++) {
    SkipBlanks(&c);
    if (c.at >= c.end || *c.at == ']') return 0;
    if (i == index) return CopyValue(c.at, c.end, value, size);
    if (!WalkValue(&c, 1, "", false, &none)) return 0;
    SkipBlanks(&c);
    if (c.at >= c.end || *c.at != ',') return 0;
    c.at++;
  }
}

// The length of the well-formed UTF-8 sequence at text (at most left
// bytes), or 0 when it is none: overlong forms, surrogates and code points
// above U+10FFFF are none.
static size_t Utf8SequenceLength(const unsigned char* text, size_t left) {
  const unsigned char lead = text[0];
  size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (len == 0 || len > left) return 0;
  unsigned long code = len == 1 ? lead : lead & (0x7f >> len);
  for (size_t i = 1; i < len; i++) {
    if ((text[i] & 0xc0) != 0x80) return 0;
    code = (code << 6) | (text[i] & 0x3f);
  }
  static const unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[len] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return len;
}

size_t JsonEscape(const char* text, size_t len, char* out, size_t size) {
  size_t used = 0;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < len;) {
    unsigned char ch = bytes[i];
    char piece[8];
    size_t step = Utf8SequenceLength(bytes + i, len - i);
    if (step == 0) {
      // Text from outside need not be UTF-8; a JSON reader takes only that.
      snprintf(piece, sizeof(piece), "\\ufffd");
      step = 1;
    } else if (ch == '"' || ch == '\\') {
      snprintf(piece, sizeof(piece), "\\%c", ch);
    } else if (ch == '\n') {
      snprintf(piece, sizeof(piece), "\\n");
    } else if (ch < 0x20 || ch == 0x7f) {
      snprintf(piece, sizeof(piece), "\\u%04x", ch);
    } else {
      memcpy(piece, bytes + i, step);
      piece[step] = '\0';
    }
    size_t n = strlen(piece);
    if (used + n >= size) return 0;
    memcpy(out + used, piece, n);
    used += n;
    i += step;
  }
  if (used >= size) return 0;
  out[used] = '\0';
  return used;
}
