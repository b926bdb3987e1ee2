// The summaries of finished results: plain tables on standard output, and
// with --json the same figures as the "summary" member of the object. Text
// from the result (names, paths, frames) is cut and escaped before it is
// printed. Uses the readers' types, the JSON report and the tools.
#include "summary.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "json.h"
#include "report.h"
#include "tools.h"

namespace {

// The longest name or path shown in a table, in bytes.
const size_t kShownName = 48;
const size_t kShownText = 200;
// The names V8 gives to time outside JavaScript, each a row of its own.
const char* const kOutsideJs[] = {"(idle)", "(program)", "(garbage collector)"};

// A number with its thousands grouped: 1,234,567.
struct Grouped {
  char text[32];
  explicit Grouped(int64_t value) {
    char digits[32];
    snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(value < 0 ? -value : value));
    size_t len = strlen(digits), out = 0;
    if (value < 0) text[out++] = '-';
    for (size_t i = 0; i < len; i++) {
      if (i > 0 && (len - i) % 3 == 0) text[out++] = ',';
      text[out++] = digits[i];
    }
    text[out] = '\0';
  }
};

// Text from the result, cut at a whole UTF-8 character after at most max
// bytes and with its control characters escaped, into out (size bytes).
void Shown(const char* text, size_t max, char* out, size_t size) {
  std::string cut(text, strnlen(text, max));
  if (cut.size() == max && text[max] != '\0') {
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xc0) == 0x80) cut.pop_back();
    if (!cut.empty() && static_cast<unsigned char>(cut.back()) >= 0xc0) cut.pop_back();
  }
  EscapeControls(cut.c_str(), out, size);
}

// Appends value as a JSON string, its first kJsonText bytes.
const size_t kJsonText = 2048;
void AppendJsonValue(char* json, size_t size, const char* value) {
  static char escaped[6 * kJsonText + 1];
  if (JsonEscape(value, strnlen(value, kJsonText), escaped, sizeof(escaped)) == 0) escaped[0] = '\0';
  AppendFormat(json, size, "\"%s\"", escaped);
}

// Appends ,"name":"value".
void AppendMember(char* json, size_t size, const char* name, const char* value) {
  AppendFormat(json, size, ",\"%s\":", name);
  AppendJsonValue(json, size, value);
}

double Percent(int64_t part, int64_t whole) {
  return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0;
}

// The summary as the object's member, when there is an object.
void AddSummaryMember(const char* summary) {
  if (!g_report.on) return;
  static char member[65536];
  member[0] = '\0';
  AppendFormat(member, sizeof(member), ",\"summary\":%s", summary);
  // A member cut short would break the object; none is better.
  if (strlen(member) + 1 < sizeof(member)) AddReportMembers(member);
}

// A function's file and line as JSON members.
void AppendPlace(char* json, size_t size, const CallTree& tree, uint32_t function) {
  const CallFunction& f = tree.functions[function];
  std::string file = tree.strings[f.url].substr(0, kShownText);
  if (file.compare(0, 7, "file://") == 0) file.erase(0, 7);
  AppendMember(json, size, "file", file.c_str());
  if (f.line >= 0) {
    AppendFormat(json, size, ",\"line\":%d", f.line + 1);
  } else {
    AppendFormat(json, size, ",\"line\":null");
  }
}

bool IsOutsideJs(const CallTree& tree, uint32_t function) {
  const CallFunction& f = tree.functions[function];
  if (!tree.strings[f.url].empty()) return false;
  const std::string& name = tree.strings[f.name];
  return name == "(root)" || std::find_if(std::begin(kOutsideJs), std::end(kOutsideJs),
                                          [&](const char* outside) { return name == outside; }) != std::end(kOutsideJs);
}

// The functions of tree by value, the largest first, at most rows of them,
// leaving out V8's rows for time outside JavaScript.
std::vector<uint32_t> Largest(const CallTree& tree, const std::vector<int64_t>& value, size_t rows) {
  std::vector<uint32_t> order;
  for (uint32_t f = 0; f < tree.functions.size(); f++) {
    if (value[f] > 0 && !IsOutsideJs(tree, f)) order.push_back(f);
  }
  size_t keep = std::min(rows, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(keep), order.end(),
                    [&](uint32_t a, uint32_t b) { return value[a] != value[b] ? value[a] > value[b] : a < b; });
  order.resize(keep);
  return order;
}

// Name and place of a function, as a table shows them.
void ShownFunction(const CallTree& tree, uint32_t function, char* name, size_t name_size, char* where,
                   size_t where_size) {
  char own[1024], place[2048];
  DescribeFunction(tree, function, own, sizeof(own), place, sizeof(place));
  Shown(own, kShownName, name, name_size);
  Shown(place, kShownText, where, where_size);
}

}  // namespace

void PrintCpuSummary(const CpuProfile& profile) {
  const CallTree& tree = profile.tree;
  std::vector<int64_t> self, total;
  SumByFunction(tree, &self, &total);
  const double seconds = static_cast<double>(ProfileDurationNs(profile)) / 1e9;
  printf("CPU profile: %s samples in %.1f s.\n", Grouped(profile.samples).text, seconds);
  printf(" self %%  total %%  %-32s  %s\n", "function", "file:line");
  static char json[65536];
  snprintf(json, sizeof(json), "{\"kind\":\"cpu profile\",\"samples\":%lld,\"seconds\":%.3f,\"functions\":[",
           static_cast<long long>(profile.samples), seconds);
  const std::vector<uint32_t> top = Largest(tree, self, kSummaryRows - 3);
  for (size_t i = 0; i < top.size(); i++) {
    char name[256], where[1024];
    ShownFunction(tree, top[i], name, sizeof(name), where, sizeof(where));
    const double own = Percent(self[top[i]], profile.samples), all = Percent(total[top[i]], profile.samples);
    printf("%7.1f  %7.1f  %-32s  %s\n", own, all, name, where);
    char raw[1024], place[2048];
    DescribeFunction(tree, top[i], raw, sizeof(raw), place, sizeof(place));
    AppendFormat(json, sizeof(json), "%s{\"selfPercent\":%.1f,\"totalPercent\":%.1f", i > 0 ? "," : "", own, all);
    AppendMember(json, sizeof(json), "name", raw);
    AppendPlace(json, sizeof(json), tree, top[i]);
    AppendFormat(json, sizeof(json), "}");
  }
  AppendFormat(json, sizeof(json), "]");
  static const char* const kJsonNames[] = {"idlePercent", "programPercent", "garbageCollectorPercent"};
  for (size_t k = 0; k < 3; k++) {
    int64_t outside = 0;
    for (uint32_t f = 0; f < tree.functions.size(); f++) {
      if (tree.strings[tree.functions[f].name] == kOutsideJs[k] && tree.strings[tree.functions[f].url].empty()) {
        outside += self[f];
      }
    }
    const double share = Percent(outside, profile.samples);
    printf("%7.1f  %7.1f  %s\n", share, share, kOutsideJs[k]);
    AppendFormat(json, sizeof(json), ",\"%s\":%.1f", kJsonNames[k], share);
  }
  printf("V8 counts a function that it inlined before the profile began to its caller.\n");
  AppendFormat(json, sizeof(json), "}");
  AddSummaryMember(json);
}

void PrintHeapProfileSummary(const HeapProfile& profile) {
  const CallTree& tree = profile.tree;
  std::vector<int64_t> self, total;
  SumByFunction(tree, &self, &total);
  printf("Heap profile: %s bytes sampled still live, in %s samples.\n", Grouped(profile.bytes).text,
         Grouped(profile.samples).text);
  printf("%14s  %6s  %-32s  %s\n", "bytes", "%", "function", "file:line");
  static char json[65536];
  snprintf(json, sizeof(json), "{\"kind\":\"heap profile\",\"bytes\":%lld,\"samples\":%lld,\"sites\":[",
           static_cast<long long>(profile.bytes), static_cast<long long>(profile.samples));
  const std::vector<uint32_t> top = Largest(tree, self, kSummaryRows);
  for (size_t i = 0; i < top.size(); i++) {
    char name[256], where[1024];
    ShownFunction(tree, top[i], name, sizeof(name), where, sizeof(where));
    const double share = Percent(self[top[i]], profile.bytes);
    printf("%14s  %6.1f  %-32s  %s\n", Grouped(self[top[i]]).text, share, name, where);
    char raw[1024], place[2048];
    DescribeFunction(tree, top[i], raw, sizeof(raw), place, sizeof(place));
    AppendFormat(json, sizeof(json), "%s{\"bytes\":%lld,\"percent\":%.1f", i > 0 ? "," : "",
                 static_cast<long long>(self[top[i]]), share);
    AppendMember(json, sizeof(json), "name", raw);
    AppendPlace(json, sizeof(json), tree, top[i]);
    AppendFormat(json, sizeof(json), "}");
  }
  AppendFormat(json, sizeof(json), "]}");
  AddSummaryMember(json);
}

void PrintSnapshotSummary(const SnapshotSummary& summary) {
  printf("Heap snapshot: %s nodes, %s bytes.\n", Grouped(summary.nodes).text, Grouped(summary.bytes).text);
  printf("%13s  %14s  %s\n", "instances", "bytes", "constructor");
  static char json[65536];
  snprintf(json, sizeof(json), "{\"kind\":\"heap snapshot\",\"nodes\":%lld,\"bytes\":%lld,\"constructors\":[",
           static_cast<long long>(summary.nodes), static_cast<long long>(summary.bytes));
  for (size_t i = 0; i < summary.top.size(); i++) {
    const SnapshotClass& row = summary.top[i];
    char name[256];
    Shown(row.name.c_str(), kShownText, name, sizeof(name));
    printf("%13s  %14s  %s\n", Grouped(row.count).text, Grouped(row.bytes).text, name);
    AppendFormat(json, sizeof(json), "%s{\"count\":%lld,\"bytes\":%lld", i > 0 ? "," : "",
                 static_cast<long long>(row.count), static_cast<long long>(row.bytes));
    AppendMember(json, sizeof(json), "name", row.name.c_str());
    AppendFormat(json, sizeof(json), "}");
  }
  AppendFormat(json, sizeof(json), "]}");
  AddSummaryMember(json);
}

void PrintReportSummary(const ReportSummary& summary, int64_t started_ms) {
  static char json[65536];
  char line[512] = "Diagnostic report:";
  snprintf(json, sizeof(json), "{\"kind\":\"diagnostic report\"");
  const char* sep = "";
  if (summary.heap_used >= 0) {
    AppendFormat(line, sizeof(line), " heap used %s", Grouped(static_cast<int64_t>(summary.heap_used)).text);
    if (summary.heap_limit >= 0) {
      AppendFormat(line, sizeof(line), " of %s", Grouped(static_cast<int64_t>(summary.heap_limit)).text);
    }
    AppendFormat(line, sizeof(line), " bytes");
    sep = ",";
  }
  if (summary.rss >= 0) {
    AppendFormat(line, sizeof(line), "%s RSS %s bytes", sep, Grouped(static_cast<int64_t>(summary.rss)).text);
    sep = ",";
  }
  int64_t uptime = started_ms >= 0 && summary.taken_ms >= started_ms ? (summary.taken_ms - started_ms) / 1000 : -1;
  if (uptime >= 0) {
    AppendFormat(line, sizeof(line), "%s uptime %lldh %02lldm %02llds", sep, static_cast<long long>(uptime / 3600),
                 static_cast<long long>(uptime / 60 % 60), static_cast<long long>(uptime % 60));
  }
  printf("%s.\n", line);
  const double figures[] = {summary.heap_used, summary.heap_limit, summary.rss, static_cast<double>(uptime)};
  const char* const names[] = {"heapUsed", "heapLimit", "rss", "uptimeSeconds"};
  for (size_t i = 0; i < 4; i++) {
    // What the report does not give is null.
    if (figures[i] >= 0) {
      AppendFormat(json, sizeof(json), ",\"%s\":%.0f", names[i], figures[i]);
    } else {
      AppendFormat(json, sizeof(json), ",\"%s\":null", names[i]);
    }
  }
  char text[1024];
  Shown(summary.message.c_str(), kShownText, text, sizeof(text));
  printf("JavaScript stack: %s\n", text);
  AppendMember(json, sizeof(json), "message", summary.message.c_str());
  AppendFormat(json, sizeof(json), ",\"stack\":[");
  for (size_t i = 0; i < summary.stack.size(); i++) {
    Shown(summary.stack[i].c_str(), kShownText, text, sizeof(text));
    printf("  %s\n", text);
    if (i > 0) AppendFormat(json, sizeof(json), ",");
    AppendJsonValue(json, sizeof(json), summary.stack[i].c_str());
  }
  if (summary.frames > static_cast<int64_t>(summary.stack.size())) {
    printf("  (%s more frames)\n", Grouped(summary.frames - static_cast<int64_t>(summary.stack.size())).text);
  }
  AppendFormat(json, sizeof(json), "],\"handles\":{");
  char handles[1024] = "libuv handles:";
  for (size_t i = 0; i < summary.handles.size(); i++) {
    Shown(summary.handles[i].first.c_str(), kShownName, text, sizeof(text));
    AppendFormat(handles, sizeof(handles), "%s %s %s", i > 0 ? "," : "", Grouped(summary.handles[i].second).text, text);
    if (i > 0) AppendFormat(json, sizeof(json), ",");
    AppendJsonValue(json, sizeof(json), summary.handles[i].first.c_str());
    AppendFormat(json, sizeof(json), ":%lld", static_cast<long long>(summary.handles[i].second));
  }
  printf("%s%s.\n", handles, summary.handles.empty() ? " none" : "");
  AppendFormat(json, sizeof(json), "}}");
  AddSummaryMember(json);
}

void PrintNoSummary(const char* path, const char* reason) {
  char shown[4096], why[1024];
  EscapeControls(path, shown, sizeof(shown));
  EscapeControls(reason, why, sizeof(why));
  printf("No summary of %s: %s.\n", shown, why);
  if (!g_report.on) return;
  static char member[4096];
  member[0] = '\0';
  AppendMember(member, sizeof(member), "summaryError", reason);
  AddReportMembers(member);
}
