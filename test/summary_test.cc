// The readers of result files and what is made of them, on small files
// written here: the summaries as printed, folded stacks, the flame graph's
// data, and the refusal of files that are no such result or pass a limit.
#include "summary.h"

#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "cpu_profile.h"
#include "diag_report.h"
#include "flame_graph.h"
#include "folded.h"
#include "heap_profile.h"
#include "heap_snapshot.h"
#include "support.h"

namespace {

// A file holding text, open for reading; closed with its scope.
struct TextFile {
  int fd;
  explicit TextFile(const std::string& text) {
    FILE* file = tmpfile();
    fwrite(text.data(), 1, text.size(), file);
    fflush(file);
    fd = dup(fileno(file));
    fclose(file);
    lseek(fd, 0, SEEK_SET);
  }
  ~TextFile() { close(fd); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
};

// What print wrote to standard output.
std::string Printed(const std::function<void()>& print) {
  fflush(stdout);
  FILE* capture = tmpfile();
  int saved = dup(STDOUT_FILENO);
  dup2(fileno(capture), STDOUT_FILENO);
  print();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string text;
  rewind(capture);
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), capture)) > 0;) text.append(buf, n);
  fclose(capture);
  return text;
}

std::string Frame(const char* name, const char* url, int line) {
  return std::string("{\"functionName\":\"") + name + "\",\"scriptId\":\"1\",\"url\":\"" + url +
         "\",\"lineNumber\":" + std::to_string(line) + ",\"columnNumber\":4}";
}

// (root) -> main -> work -> burn, main -> burn, and V8's rows outside
// JavaScript; burn's samples 5 + 2, work's 1, main's 1, idle 3, GC 1.
const std::string kProfile =
    "{\"nodes\":[{\"id\":1,\"callFrame\":" + Frame("(root)", "", -1) +
    ",\"hitCount\":0,\"children\":[2,6,7]},"
    "{\"id\":2,\"callFrame\":" +
    Frame("main", "file:///app/main.js", 9) +
    ",\"hitCount\":1,\"children\":[3,5]},"
    "{\"id\":3,\"callFrame\":" +
    Frame("work", "file:///app/main.js", 4) +
    ",\"hitCount\":1,\"children\":[4]},"
    "{\"id\":4,\"callFrame\":" +
    Frame("burn", "file:///app/main.js", 0) +
    ",\"hitCount\":5},"
    "{\"id\":5,\"callFrame\":" +
    Frame("burn", "file:///app/main.js", 0) +
    ",\"hitCount\":2},"
    "{\"id\":6,\"callFrame\":" +
    Frame("(idle)", "", -1) +
    ",\"hitCount\":3},"
    "{\"id\":7,\"callFrame\":" +
    Frame("(garbage collector)", "", -1) +
    ",\"hitCount\":1}],"
    "\"startTime\":1000000,\"endTime\":14000000,"
    "\"samples\":[4,4,4,4,4,5,5,3,2,6,6,6,7],\"timeDeltas\":[1000,1000,1000,1000,1000,1000,1000,1000,1000,1000,1000,"
    "1000,1000]}";

TEST(CpuProfileTest, SummaryAndFoldedStacks) {
  TextFile file(kProfile);
  static CpuProfile profile;
  char error[256];
  ASSERT_TRUE(ReadCpuProfile(file.fd, &profile, error, sizeof(error))) << error;
  EXPECT_EQ(profile.samples, 13);
  EXPECT_EQ(Printed([&] { PrintCpuSummary(profile); }),
            "CPU profile: 13 samples in 13.0 s.\n"
            " self %  total %  function                          file:line\n"
            "   53.8     53.8  burn                              /app/main.js:1\n"
            "    7.7     69.2  main                              /app/main.js:10\n"
            "    7.7     46.2  work                              /app/main.js:5\n"
            "   23.1     23.1  (idle)\n"
            "    0.0      0.0  (program)\n"
            "    7.7      7.7  (garbage collector)\n"
            "V8 counts a function that it inlined before the profile began to its caller.\n");
  EXPECT_EQ(Printed([&] { WriteFolded(profile.tree, stdout); }),
            "main /app/main.js:10 1\n"
            "main /app/main.js:10;work /app/main.js:5 1\n"
            "main /app/main.js:10;work /app/main.js:5;burn /app/main.js:1 5\n"
            "main /app/main.js:10;burn /app/main.js:1 2\n"
            "(idle) 3\n"
            "(garbage collector) 1\n");
}

// Without a list of samples, each site's hitCount stands.
TEST(CpuProfileTest, HitCountsWithoutSamples) {
  std::string profile = kProfile.substr(0, kProfile.find(",\"samples\"")) + "}";
  TextFile file(profile);
  static CpuProfile read;
  char error[256];
  ASSERT_TRUE(ReadCpuProfile(file.fd, &read, error, sizeof(error))) << error;
  EXPECT_EQ(read.samples, 13);
}

// Files that are no profile, or a broken one, or pass a limit: refused
// with the reason, never read past it.
TEST(ResultReaderTest, Refused) {
  const std::string node = "{\"id\":1,\"callFrame\":" + Frame("a", "", 0) + "}";
  struct Case {
    const char* name;
    bool (*read)(int fd, char* error, size_t size);
    std::string text, error;
  };
  auto cpu = [](int fd, char* error, size_t size) {
    static CpuProfile profile;
    return ReadCpuProfile(fd, &profile, error, size);
  };
  auto heap = [](int fd, char* error, size_t size) {
    static HeapProfile profile;
    return ReadHeapProfile(fd, &profile, error, size);
  };
  auto snapshot = [](int fd, char* error, size_t size) {
    SnapshotSummary summary;
    return SummariseSnapshot(fd, 10, &summary, error, size);
  };
  auto report = [](int fd, char* error, size_t size) {
    ReportSummary summary;
    return SummariseReport(fd, 5, &summary, error, size);
  };
  const std::string meta = "{\"snapshot\":{\"meta\":{\"node_fields\":[\"type\",\"name\",\"self_size\"]}}";
  // clang-format off
  const Case cases[] = {
      {"empty", cpu, "", "the document is empty at byte 0"},
      {"no JSON", cpu, std::string(1000, 'x'), "invalid value at byte 0"},
      {"an array", cpu, "[1]", "the document is no object"},
      {"no call sites", cpu, "{\"nodes\":[]}", "no call sites"},
      {"a child not given", cpu, "{\"nodes\":[{\"id\":1,\"children\":[2]}]}", "a call site names a child that is not given"},
      {"a loop", cpu, "{\"nodes\":[{\"id\":1,\"children\":[2]},{\"id\":2,\"children\":[1]}]}", "2 of its 2 call sites are their own callers"},
      {"two parents", cpu, "{\"nodes\":[{\"id\":1,\"children\":[3]},{\"id\":2,\"children\":[3]},{\"id\":3}]}", "a call site is the child of two"},
      {"a sample of nothing", cpu, "{\"nodes\":[" + node + "],\"samples\":[7]}", "a sample names a call site that is not given"},
      {"two ids", cpu, "{\"nodes\":[" + node + "," + node + "]}", "two call sites have one id"},
      {"cut short", cpu, "{\"nodes\":[" + node, "missing a comma or ']' after an array element at byte 107"},
      {"heap: no head", heap, "{\"samples\":[]}", "no head"},
      {"snapshot: no nodes", snapshot, meta + "}", "no nodes"},
      {"snapshot: nodes first", snapshot, "{\"nodes\":[1,2,3]}", "the nodes come without a valid description"},
      {"snapshot: a node cut short", snapshot, meta + ",\"nodes\":[1,2,3,1]}", "the last node is cut short"},
      {"snapshot: no self_size", snapshot, "{\"snapshot\":{\"meta\":{\"node_fields\":[\"type\",\"name\"]}},\"nodes\":[]}",
       "the nodes have no type, name or self_size"},
      {"report: none", report, "{\"other\":1}", "no report in it"},
      {"too deep", cpu, "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}", "nesting deeper than 100000 at byte 100004"},
      {"a long string", snapshot, "{\"strings\":[\"" + std::string(2 << 20, 'a') + "\"]}",
       "a string longer than 1048576 bytes at byte 1048590"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TextFile file(c.text);
    char error[256] = "";
    EXPECT_FALSE(c.read(file.fd, error, sizeof(error)));
    EXPECT_EQ(std::string(error), c.error);
  }
}

// Objects count by constructor, strings of every kind together, V8's own
// roots not at all; the names come from the strings after the nodes.
TEST(SnapshotTest, ByConstructor) {
  const std::string snapshot =
      "{\"snapshot\":{\"meta\":{\"node_fields\":[\"type\",\"name\",\"id\",\"self_size\",\"edge_count\"],"
      "\"node_types\":[[\"hidden\",\"array\",\"string\",\"object\",\"synthetic\",\"concatenated string\"],"
      "\"string\",\"number\",\"number\",\"number\"]},\"node_count\":8},"
      "\"nodes\":[4,0,1,0,3, 3,1,3,24,0, 3,1,5,24,0, 3,2,7,16,0, 2,0,9,20,0, 5,0,11,32,0, 1,0,13,64,0, 3,1,15,24,0],"
      "\"edges\":[1,2,3],\"strings\":[\"(GC roots)\",\"Point\",\"Ot\\u001b[31mher\"]}";
  TextFile file(snapshot);
  SnapshotSummary summary;
  char error[256];
  ASSERT_TRUE(SummariseSnapshot(file.fd, 3, &summary, error, sizeof(error))) << error;
  EXPECT_EQ(Printed([&] { PrintSnapshotSummary(summary); }),
            "Heap snapshot: 8 nodes, 204 bytes.\n"
            "    instances           bytes  constructor\n"
            "            3              72  Point\n"
            "            1              64  (array)\n"
            "            2              52  (string)\n");
  SnapshotSummary two;
  TextFile again(snapshot);
  ASSERT_TRUE(SummariseSnapshot(again.fd, 10, &two, error, sizeof(error))) << error;
  ASSERT_EQ(two.top.size(), 4u);
  // A name from the file is escaped where it is printed.
  EXPECT_EQ(two.top[3].name, "Ot\x1b[31mher");
  const std::string printed = Printed([&] { PrintSnapshotSummary(two); });
  EXPECT_EQ(printed.substr(printed.rfind("  ") + 2), "Ot\\x1b[31mher\n");
}

// Allocation sites by their bytes still live, and how many samples each; a
// sample of a site that V8 left out of the tree counts nowhere.
TEST(HeapProfileTest, BySite) {
  const std::string profile =
      "{\"head\":{\"callFrame\":" + Frame("(root)", "", -1) +
      ",\"selfSize\":0,\"id\":1,\"children\":[{\"callFrame\":" + Frame("load", "file:///app/a.js", 2) +
      ",\"selfSize\":65536,\"id\":2,\"children\":[{\"callFrame\":" + Frame("parse", "file:///app/b.js", 7) +
      ",\"selfSize\":1000000,\"id\":3,\"children\":[]}]}]},"
      "\"samples\":[{\"size\":65536,\"nodeId\":2,\"ordinal\":1},{\"size\":500000,\"nodeId\":3,\"ordinal\":2},"
      "{\"size\":500000,\"nodeId\":3,\"ordinal\":3},{\"size\":8,\"nodeId\":99,\"ordinal\":4}]}";
  TextFile file(profile);
  static HeapProfile read;
  char error[256];
  ASSERT_TRUE(ReadHeapProfile(file.fd, &read, error, sizeof(error))) << error;
  EXPECT_EQ(read.samples, 3);
  EXPECT_EQ(Printed([&] { PrintHeapProfileSummary(read); }),
            "Heap profile: 1,065,536 bytes sampled still live, in 3 samples.\n"
            "         bytes       %  function                          file:line\n"
            "     1,000,000    93.8  parse                             /app/b.js:8\n"
            "        65,536     6.2  load                              /app/a.js:3\n");
}

// A report: its figures, its first frames, its handles by type; the uptime
// from when the process started.
TEST(ReportTest, Summary) {
  const std::string report =
      "{\"header\":{\"dumpEventTimeStamp\":\"1700003723000\",\"processId\":1},"
      "\"javascriptStack\":{\"message\":\"Error [ERR_SYNTHETIC]: JavaScript Callstack\","
      "\"stack\":[\"at a (/app/a.js:1:1)\",\"at b (/app/a.js:2:1)\",\"at c (/app/a.js:3:1)\"]},"
      "\"javascriptHeap\":{\"usedMemory\":12345678,\"memoryLimit\":4345298944},"
      "\"resourceUsage\":{\"rss\":42684416},"
      "\"libuv\":[{\"type\":\"async\"},{\"type\":\"tcp\"},{\"type\":\"async\"},{\"type\":\"timer\"}]}";
  TextFile file(report);
  ReportSummary summary;
  char error[256];
  ASSERT_TRUE(SummariseReport(file.fd, 2, &summary, error, sizeof(error))) << error;
  EXPECT_EQ(Printed([&] { PrintReportSummary(summary, 1700000000000); }),
            "Diagnostic report: heap used 12,345,678 of 4,345,298,944 bytes, RSS 42,684,416 bytes, uptime 1h 02m 03s.\n"
            "JavaScript stack: Error [ERR_SYNTHETIC]: JavaScript Callstack\n"
            "  at a (/app/a.js:1:1)\n"
            "  at b (/app/a.js:2:1)\n"
            "  (1 more frames)\n"
            "libuv handles: 2 async, 1 tcp, 1 timer.\n");
}

// No name in a profile can end the flame graph's script.
TEST(FlameGraphTest, NamesStayData) {
  CallTree tree;
  uint32_t f = AddFunction(&tree, "</script><script>alert(1)</script>", "", 0, 0);
  tree.nodes.push_back({-1, f, 1, 1});
  std::string page = Printed([&] { WriteFlameGraph(tree, "<title>", "samples", stdout); });
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("\\u003c/script>\\u003cscript>alert(1)"), std::string::npos);
  EXPECT_NE(page.find("<title>&lt;title></title>"), std::string::npos);
  EXPECT_EQ(page.find("://"), std::string::npos) << "the page names nothing on a network";
}

}  // namespace
