// Summaries and output formats end to end against node with the agent: a
// CPU profile of a process that burns its time in burn() (the summary, its
// folded stacks and pprof against the profile's samples, the flame graph
// as Chromium renders it offline), and a heap snapshot of a heap with a
// million instances of one class.
#include <zlib.h>

#include <map>

#include "cpu_profile.h"
#include "folded.h"
#include "pprof.h"
#include "watch.h"

namespace {

struct TempDir {
  const std::string path = qtest::MakeTempDir();
  ~TempDir() { qtest::RemoveTree(path); }
};

const char kBurnApp[] = R"(function burn() {
  const end = Date.now() + 40;
  let x = 0;
  while (Date.now() < end) x += Math.sqrt(x + 1);
  return x;
}
setInterval(burn, 50);
setTimeout(() => process.exit(0), 60000);
)";

const char kPointsApp[] = R"(class Point { constructor(i) { this.x = i; this.y = i + 1; } }
globalThis.points = Array.from({ length: 1000000 }, (_, i) => new Point(i));
setInterval(() => {}, 1000);
setTimeout(() => process.exit(0), 60000);
)";

// node running source (written to dir/app.js) with the agent; ended with
// its scope. V8 counts the samples of code it optimized before a profile
// began to the caller (burn's to the timers' loop, in about half the runs
// here, also without inlining), which no summary can undo: the app runs
// without the optimizing compiler, so that its profile names burn.
class Node {
 public:
  Node(const std::string& dir, const char* source) {
    std::ofstream(dir + "/app.js") << source;
    pid_ = qtest::Spawn({NODE_BIN, "--no-opt", dir + "/app.js"},
                        {"NODE_OPTIONS=" + Preload(), "ENABLE_NODE_LOG=YES", "NODE_LOG_DIR=" + dir});
    qtest::WaitFor([&] { return qtest::FileExists(qtest::SocketPath(pid_)); }, 20000);
  }
  ~Node() {
    kill(pid_, SIGKILL);
    qtest::Reap(pid_, 5000);
    unlink(qtest::SocketPath(pid_).c_str());
  }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  static std::string Preload() { return std::string("--require ") + AGENT_JS; }
  std::string pid() const { return std::to_string(pid_); }
  qtest::RunResult Quellix(const std::vector<std::string>& args) const {
    return qtest::RunQuellix(args, {"NODE_OPTIONS=" + Preload()}, 90000);
  }

 private:
  pid_t pid_ = -1;
};

class SummaryEndToEndTest : public qtest::BackgroundTest {
 protected:
  void SetUp() override {
    qtest::BackgroundTest::SetUp();
    if (access(NODE_BIN, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  }
};

// The result file the runtime wrote, from its "Written:" line.
std::string WrittenPath(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex(R"(\nWritten: (\S+) \(\d+ bytes)")) ? m[1].str() : "";
}

// The samples of a .cpuprofile as the file lists them.
long long SamplesIn(const std::string& profile) {
  size_t at = profile.find("\"samples\":[");
  if (at == std::string::npos) return -1;
  size_t end = profile.find(']', at);
  std::string list = profile.substr(at + 11, end - at - 11);
  return list.empty() ? 0 : std::count(list.begin(), list.end(), ',') + 1;
}

// What a writer of the formats wrote into a temporary file.
template <typename Write>
std::string Written(Write write) {
  FILE* out = tmpfile();
  EXPECT_TRUE(write(out));
  std::string text;
  rewind(out);
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), out)) > 0;) text.append(buf, n);
  fclose(out);
  return text;
}

std::string Gunzip(const std::string& data) {
  z_stream z;
  memset(&z, 0, sizeof(z));
  if (inflateInit2(&z, 15 + 16) != Z_OK) return "";
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  int result = Z_OK;
  while (result == Z_OK) {
    char chunk[65536];
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof(chunk);
    result = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof(chunk) - z.avail_out);
  }
  inflateEnd(&z);
  return result == Z_STREAM_END ? out : "";
}

// A reader of protocol buffers: the fields of one message.
struct Field {
  int number;
  uint64_t varint;
  std::string bytes;
};

bool ReadVarint(const std::string& data, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; *at < data.size() && shift < 64; shift += 7) {
    unsigned char byte = static_cast<unsigned char>(data[(*at)++]);
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

std::vector<Field> Fields(const std::string& data) {
  std::vector<Field> fields;
  for (size_t at = 0; at < data.size();) {
    uint64_t key = 0, value = 0;
    if (!ReadVarint(data, &at, &key)) break;
    Field field = {static_cast<int>(key >> 3), 0, ""};
    if ((key & 7) == 0 && ReadVarint(data, &at, &value)) {
      field.varint = value;
    } else if ((key & 7) == 2 && ReadVarint(data, &at, &value) && at + value <= data.size()) {
      field.bytes = data.substr(at, value);
      at += value;
    } else {
      ADD_FAILURE() << "malformed field " << (key >> 3);
      break;
    }
    fields.push_back(field);
  }
  return fields;
}

std::vector<uint64_t> Packed(const std::string& bytes) {
  std::vector<uint64_t> values;
  uint64_t value = 0;
  for (size_t at = 0; at < bytes.size() && ReadVarint(bytes, &at, &value);) values.push_back(value);
  return values;
}

// A pprof profile decoded: the first value of its samples summed by the
// name of their innermost function, and in all.
struct Decoded {
  std::map<std::string, uint64_t> by_leaf;
  uint64_t total = 0;
  std::vector<std::string> types;
};

Decoded DecodePprof(const std::string& gzipped) {
  std::vector<std::string> strings;
  std::map<uint64_t, uint64_t> location_function, function_name;
  std::vector<std::pair<uint64_t, uint64_t>> samples;  // leaf location, first value
  std::vector<uint64_t> type_names;
  for (const Field& f : Fields(Gunzip(gzipped))) {
    if (f.number == 6) strings.push_back(f.bytes);
    if (f.number == 1) type_names.push_back(Fields(f.bytes)[0].varint);
    if (f.number == 2) {
      std::vector<uint64_t> locations, values;
      for (const Field& s : Fields(f.bytes)) (s.number == 1 ? locations : values) = Packed(s.bytes);
      samples.emplace_back(locations.empty() ? 0 : locations[0], values.empty() ? 0 : values[0]);
    }
    if (f.number == 4) {
      uint64_t id = 0, function = 0;
      for (const Field& l : Fields(f.bytes)) {
        if (l.number == 1) id = l.varint;
        if (l.number == 4) function = Fields(l.bytes)[0].varint;
      }
      location_function[id] = function;
    }
    if (f.number == 5) {
      uint64_t id = 0, name = 0;
      for (const Field& g : Fields(f.bytes)) {
        if (g.number == 1) id = g.varint;
        if (g.number == 2) name = g.varint;
      }
      function_name[id] = name;
    }
  }
  Decoded decoded;
  for (uint64_t type : type_names) decoded.types.push_back(type < strings.size() ? strings[type] : "?");
  for (const auto& sample : samples) {
    uint64_t name = function_name[location_function[sample.first]];
    decoded.by_leaf[name < strings.size() ? strings[name] : "?"] += sample.second;
    decoded.total += sample.second;
  }
  return decoded;
}

std::string Heaviest(const std::map<std::string, uint64_t>& counts) {
  auto top =
      std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return top == counts.end() ? "" : top->first;
}

// The profile of a process busy in burn(): its summary lists burn first;
// its folded stacks and its pprof, made from the file the runtime wrote,
// count each of the profile's samples once and name burn the heaviest.
TEST_F(SummaryEndToEndTest, CpuProfile) {
  TempDir dir;
  Node node(dir.path, kBurnApp);
  qtest::RunResult r = node.Quellix({"--wait", "--start_profiling", "time=3s", node.pid()});
  ASSERT_EQ(r.status, 0) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      r.out, m,
      std::regex(
          R"(\nCPU profile: [\d,]+ samples in \d+\.\d s\.\n self %  total %  function +file:line\n +\d+\.\d +\d+\.\d  (\S+) +(\S+)\n)")))
      << r.out;
  EXPECT_EQ(m[1], "burn") << r.out;
  EXPECT_EQ(m[2], dir.path + "/app.js:1");
  // Time outside JavaScript in rows of its own.
  for (const char* row : {"idle", "program", "garbage collector"}) {
    EXPECT_TRUE(std::regex_search(r.out, std::regex(std::string(R"(\n +\d+\.\d +\d+\.\d  \()") + row + "\\)\n")))
        << row << "\n"
        << r.out;
  }

  const std::string path = WrittenPath(r.out);
  const long long samples = SamplesIn(qtest::ReadFile(path));
  ASSERT_GT(samples, 100);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_NE(fd, -1);
  static CpuProfile profile;
  char error[256];
  ASSERT_TRUE(ReadCpuProfile(fd, &profile, error, sizeof(error))) << error;
  close(fd);
  EXPECT_EQ(profile.samples, samples);

  std::istringstream folded(Written([&](FILE* out) { return WriteFolded(profile.tree, out); }));
  long long sum = 0;
  std::map<std::string, uint64_t> by_leaf;
  for (std::string line; std::getline(folded, line);) {
    ASSERT_TRUE(std::regex_match(line, m, std::regex(R"((?:.*;)?(\S+)(?: \S+)? (\d+))"))) << line;
    sum += std::stoll(m[2]);
    by_leaf[m[1]] += std::stoull(m[2]);
  }
  EXPECT_EQ(sum, samples);
  EXPECT_EQ(Heaviest(by_leaf), "burn");

  Decoded pprof = DecodePprof(Written([&](FILE* out) { return WriteCpuPprof(profile, out); }));
  EXPECT_EQ(pprof.types, (std::vector<std::string>{"samples", "cpu"}));
  EXPECT_EQ(pprof.total, static_cast<uint64_t>(samples));
  EXPECT_EQ(Heaviest(pprof.by_leaf), "burn");
}

// -o cpu.html leaves a flame graph that Chromium renders without a
// network (in a network namespace of its own where the machine permits),
// with burn among its frames.
TEST_F(SummaryEndToEndTest, FlameGraphRendersOffline) {
  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0) GTEST_SKIP() << "Chromium is not installed (apt-get install chromium)";
  TempDir dir;
  Node node(dir.path, kBurnApp);
  const std::string html = dir.path + "/cpu.html";
  qtest::RunResult r = node.Quellix({"--wait", "--start_profiling", "time=3s", "-o", html, node.pid()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\nWritten: " + html + " (flame graph, "), std::string::npos) << r.out;
  const std::vector<std::string> browser = {chromium,
                                            "--headless",
                                            "--no-sandbox",
                                            "--disable-gpu",
                                            "--disable-background-networking",
                                            "--disable-component-update",
                                            "--no-first-run",
                                            "--user-data-dir=" + dir.path + "/profile",
                                            "--dump-dom",
                                            "file://" + html};
  const bool isolated = qtest::Run("/usr/bin/unshare", {"-n", "/bin/true"}).status == 0;
  if (!isolated) std::cout << "[   INFO   ] no network namespace here: Chromium runs with the machine's network\n";
  std::vector<std::string> args(browser.begin() + 1, browser.end());
  if (isolated) args.insert(args.begin(), {"-n", chromium});
  qtest::RunResult page = qtest::Run(isolated ? "/usr/bin/unshare" : chromium, args, {}, 90000);
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_TRUE(std::regex_search(page.out, std::regex(R"(<div class="frame[^"]*"[^>]*>burn</div>)"))) << page.out;
  EXPECT_NE(page.out.find("<h1 id=\"title\">CPU profile: "), std::string::npos);
}

// A heap with a million instances of Point: the summary's row for Point
// counts them all.
TEST_F(SummaryEndToEndTest, SnapshotCountsInstances) {
  TempDir dir;
  Node node(dir.path, kPointsApp);
  qtest::RunResult r = node.Quellix({"--wait", "--heapdump", node.pid()});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(\nHeap snapshot: [\d,]+ nodes, [\d,]+ bytes\.\n +instances +bytes  constructor\n)")))
      << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n +1,000,000 +[\d,]+  Point\n)"))) << r.out;
}

}  // namespace
