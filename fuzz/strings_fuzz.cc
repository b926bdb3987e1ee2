// Fuzzes the string tests and RemoveCRNL against plain std::string
// equivalents.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tools.h"

static void CheckTests(const std::string& text, const std::string& other) {
  bool contains = text.find(other) != std::string::npos;
  bool starts = text.compare(0, other.size(), other) == 0 && text.size() >= other.size();
  bool ends = text.size() >= other.size() && text.compare(text.size() - other.size(), other.size(), other) == 0;
  if (StrContains(text.c_str(), other.c_str()) != contains) abort();
  if (StrStartsWith(text.c_str(), other.c_str()) != starts) abort();
  if (StrEndsWith(text.c_str(), other.c_str()) != ends) abort();
}

// RemoveCRNL only ever shortens the text, by cutting at one of its last two
// bytes when that byte is a CR or LF.
static void CheckRemoveCRNL(const std::string& text) {
  std::string copy = text;
  RemoveCRNL(&copy[0]);
  copy.resize(strlen(copy.c_str()));
  std::string expected = text;
  auto line_end = [](char c) { return c == '\r' || c == '\n'; };
  size_t n = expected.size();
  if (n >= 2 && line_end(expected[n - 2])) {
    expected.resize(n - 2);
  } else if (n >= 1 && line_end(expected[n - 1])) {
    expected.resize(n - 1);
  }
  if (copy != expected) abort();
}

static void CheckAppend(const std::string& text, const std::string& other, size_t size) {
  std::string buf(size, '\0');
  snprintf(&buf[0], size, "%s", text.c_str());
  AppendFormat(&buf[0], size, "%s", other.c_str());
  std::string whole = (text + other).substr(0, size - 1);
  if (strnlen(buf.data(), size) >= size || std::string(buf.c_str()) != whole) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string text = input.substr(0, split);
  std::string other = split == std::string::npos ? std::string() : input.substr(split + 1).c_str();
  CheckTests(text, other);
  CheckTests(other, text);
  CheckRemoveCRNL(text);
  CheckAppend(text, other, 1 + size % 64);
  return 0;
}
