// English equivalents of the runtime's status texts, chosen by
// QUELLIX_LANG=en; without it every text is shown as the road has it. Uses
// only the C library.
#include "english.h"

#include <stdlib.h>
#include <string.h>

// clang-format off
const EnglishText kEnglishTexts[] = {
    {"heapdump文件路径:%s\nheapdump可能需要数秒或数分钟.\n", "heapdump file path:%s\nheapdump may take seconds or minutes.\n"},
    {"Profiling文件路径:%s\n", "Profiling file path:%s\n"},
    {"请等待%d秒后读取此cpu-profiling结果.\n", "Wait %d seconds, then read this cpu-profiling result.\n"},
    {"heaptimeline文件路径:%s\n", "heaptimeline file path:%s\n"},
    {"请等待%d秒后读取此timeline结果.\n", "Wait %d seconds, then read this timeline result.\n"},
    {"heapprofile文件路径:%s\n", "heapprofile file path:%s\n"},
    {"请等待%d秒后读取此heap-profile结果.\n", "Wait %d seconds, then read this heap-profile result.\n"},
    {"v8flags文件路径:%s\n", "v8flags file path:%s\n"},
    {"diagnostic-report文件路径:%s\n", "diagnostic-report file path:%s\n"},
    {"gc-log文件路径:%s\n", "gc-log file path:%s\n"},
    {"请等待%d秒后读取此gc-log.\n", "Wait %d seconds, then read this gc-log.\n"},
    {"Prof文件路径:%s\n", "Prof file path:%s\n"},
    {"请等待%d秒后读取此prof结果.\n", "Wait %d seconds, then read this prof result.\n"},
    {"basic-prof文件路径:%s\n", "basic-prof file path:%s\n"},
    {"请等待%d秒后读取此basic-prof结果.\n", "Wait %d seconds, then read this basic-prof result.\n"},
    {"v8options文件路径:%s\n", "v8options file path:%s\n"},
    {"请等待%d秒后读取.\n", "Wait %d seconds, then read it.\n"},
    {"v8-options:\n%.*s\n发送成功.\n", "v8-options:\n%.*s\nsent successfully.\n"},
    {"强制fullGC一次.\n", "Forced one full GC.\n"},
    {"日志功能已经打开\n", "Logging is switched on.\n"},
    {"日志功能已经关闭\n", "Logging is switched off.\n"},
    {"node忙,请重试.\n", "node is busy, please try again.\n"},
};
// clang-format on
const size_t kEnglishTextCount = sizeof(kEnglishTexts) / sizeof(kEnglishTexts[0]);

const char* ShownText(const char* text) {
  const char* lang = getenv("QUELLIX_LANG");
  if (lang == nullptr || strcmp(lang, "en") != 0) return text;
  for (const EnglishText& entry : kEnglishTexts) {
    if (strcmp(entry.text, text) == 0) return entry.english;
  }
  return text;
}
