// English equivalents of the runtime's status texts, for QUELLIX_LANG=en.
#ifndef QUELLIX_DEPS_INSPECTOR_ENGLISH_H_
#define QUELLIX_DEPS_INSPECTOR_ENGLISH_H_

#include <stddef.h>

// One status text and its English equivalent: the same lines, with the same
// conversions in the same places.
struct EnglishText {
  const char* text;
  const char* english;
};
extern const EnglishText kEnglishTexts[];
extern const size_t kEnglishTextCount;

// text itself, unless QUELLIX_LANG is "en" and text is one of the status
// texts: then its English equivalent. A format stays a format.
const char* ShownText(const char* text);

#endif  // QUELLIX_DEPS_INSPECTOR_ENGLISH_H_
