// The English equivalents of the status texts: one for every text of the
// road that is not English, with the same conversions in the same places.
#include "english.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace {

// The conversions of a printf format, in order ("%s", "%d", "%.*s").
std::vector<std::string> Conversions(const std::string& format) {
  std::vector<std::string> found;
  static const std::regex conversion(R"(%[-+ #0]*(\*|\d+)?(\.(\*|\d+))?[a-z])");
  for (std::sregex_iterator it(format.begin(), format.end(), conversion), end; it != end; ++it) {
    found.push_back(it->str());
  }
  return found;
}

bool HasHan(const std::string& text) {
  // U+3000 to U+9FFF and the full-width forms are three-byte UTF-8 sequences
  // led by E3 to E9 or EF.
  for (unsigned char c : text) {
    if ((c >= 0xe3 && c <= 0xe9) || c == 0xef) return true;
  }
  return false;
}

TEST(EnglishTextTest, EveryStatusTextHasItsEquivalent) {
  // Every string literal of the road that is not English is in the table.
  const std::string source = qtest::ReadFile(std::string(SOURCE_DIR) + "/deps/inspector/cmds.cc");
  static const std::regex literal(R"re("((?:[^"\\\n]|\\.)*)")re");
  int found = 0;
  for (std::sregex_iterator it(source.begin(), source.end(), literal), end; it != end; ++it) {
    std::string text = (*it)[1].str();
    if (!HasHan(text)) continue;
    found++;
    // The literal as the compiler reads it: only \n is escaped in these.
    for (size_t at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at + 1))
      text.replace(at, 2, "\n");
    bool known = false;
    for (size_t i = 0; i < kEnglishTextCount; i++) known = known || text == kEnglishTexts[i].text;
    EXPECT_TRUE(known) << text;
  }
  EXPECT_EQ(found, static_cast<int>(kEnglishTextCount));
  for (size_t i = 0; i < kEnglishTextCount; i++) {
    const EnglishText& entry = kEnglishTexts[i];
    SCOPED_TRACE(entry.text);
    EXPECT_FALSE(HasHan(entry.english));
    EXPECT_EQ(Conversions(entry.text), Conversions(entry.english));
    EXPECT_EQ(std::count(entry.text, entry.text + strlen(entry.text), '\n'),
              std::count(entry.english, entry.english + strlen(entry.english), '\n'));
  }
}

TEST(EnglishTextTest, OnlyUnderQuellixLangEn) {
  const char* text = kEnglishTexts[0].text;
  unsetenv("QUELLIX_LANG");
  EXPECT_EQ(ShownText(text), text);
  setenv("QUELLIX_LANG", "de", 1);
  EXPECT_EQ(ShownText(text), text);
  setenv("QUELLIX_LANG", "en", 1);
  EXPECT_STREQ(ShownText(text), kEnglishTexts[0].english);
  EXPECT_STREQ(ShownText("Please check if pid %d is node process.\n"), "Please check if pid %d is node process.\n");
  unsetenv("QUELLIX_LANG");
}

}  // namespace
