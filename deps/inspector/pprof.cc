// Profiles in pprof's format: the profile.proto message (encoded here by
// hand: it needs only varints, packed varints and nested messages) written
// through zlib's gzip stream. Uses the call tree, the profile readers'
// types and zlib.
#include "pprof.h"

#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// Field numbers of profile.proto.
enum ProfileField { kSampleType = 1, kSample = 2, kLocation = 4, kFunction = 5, kStringTable = 6 };
enum ProfileTail { kDurationNanos = 10, kPeriodType = 11, kPeriod = 12, kDefaultSampleType = 14 };
enum ValueTypeField { kType = 1, kUnit = 2 };
enum SampleField { kLocationId = 1, kValue = 2 };
enum LocationField { kLocationIdField = 1, kLine = 4 };
enum LineField { kFunctionId = 1, kLineNumber = 2 };
enum FunctionField { kFunctionIdField = 1, kName = 2, kSystemName = 3, kFilename = 4, kStartLine = 5 };

const int kVarint = 0;
const int kLengthDelimited = 2;

void PutVarint(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

void PutKey(std::string* out, int field, int wire) {
  PutVarint(out, (static_cast<uint64_t>(field) << 3) | static_cast<uint64_t>(wire));
}

// An int64 field; zero is the default and is left out.
void PutInt(std::string* out, int field, int64_t value) {
  if (value == 0) return;
  PutKey(out, field, kVarint);
  PutVarint(out, static_cast<uint64_t>(value));
}

void PutBytes(std::string* out, int field, const std::string& bytes) {
  PutKey(out, field, kLengthDelimited);
  PutVarint(out, bytes.size());
  out->append(bytes);
}

void PutPacked(std::string* out, int field, const std::vector<uint64_t>& values) {
  std::string packed;
  for (uint64_t value : values) PutVarint(&packed, value);
  PutBytes(out, field, packed);
}

// The gzip stream into out; write errors are remembered for the end.
class GzipWriter {
 public:
  explicit GzipWriter(FILE* out) : out_(out) {
    memset(&stream_, 0, sizeof(stream_));
    // 15 bits of window, +16: a gzip header and trailer.
    ok_ = deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~GzipWriter() { deflateEnd(&stream_); }
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  void Write(const std::string& bytes) { Deflate(bytes.data(), bytes.size(), Z_NO_FLUSH); }
  bool Finish() {
    Deflate(nullptr, 0, Z_FINISH);
    return ok_ && fflush(out_) == 0 && ferror(out_) == 0;
  }

 private:
  void Deflate(const char* data, size_t len, int flush) {
    // zlib takes at most 4 GiB at a time; the pieces here are far smaller.
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(len);
    int result = Z_OK;
    while (ok_ && (stream_.avail_in > 0 || (flush == Z_FINISH && result != Z_STREAM_END))) {
      static unsigned char chunk[65536];
      stream_.next_out = chunk;
      stream_.avail_out = sizeof(chunk);
      result = deflate(&stream_, flush);
      if (result == Z_STREAM_ERROR) ok_ = false;
      size_t produced = sizeof(chunk) - stream_.avail_out;
      if (produced > 0 && fwrite(chunk, 1, produced, out_) != produced) ok_ = false;
    }
  }

  FILE* out_;
  z_stream stream_;
  bool ok_;
};

// The string table, built as the message is; index 0 is the empty string.
class StringTable {
 public:
  StringTable() { Add(""); }
  int64_t Add(const std::string& text) {
    auto found = ids_.find(text);
    if (found != ids_.end()) return found->second;
    int64_t id = static_cast<int64_t>(texts_.size());
    texts_.push_back(text);
    ids_.emplace(text, id);
    return id;
  }
  void WriteTo(GzipWriter* gzip) const {
    for (const std::string& text : texts_) {
      std::string field;
      PutBytes(&field, kStringTable, text);
      gzip->Write(field);
    }
  }

 private:
  std::vector<std::string> texts_;
  std::unordered_map<std::string, int64_t> ids_;
};

// What differs between the kinds of profile: the two values of each
// sample and their names.
struct Kind {
  const char* types[2];
  const char* units[2];
  int default_type;  // index into types
  int64_t period;    // of the second value, 0: none
  int64_t duration_ns;
};

void PutValueType(std::string* out, int field, StringTable* strings, const char* type, const char* unit) {
  std::string value;
  PutInt(&value, kType, strings->Add(type));
  PutInt(&value, kUnit, strings->Add(unit));
  PutBytes(out, field, value);
}

// Each function, and one location per function (V8 gives no addresses).
void WriteFunctions(const CallTree& tree, StringTable* strings, GzipWriter* gzip) {
  for (size_t i = 0; i < tree.functions.size(); i++) {
    const CallFunction& f = tree.functions[i];
    const int64_t id = static_cast<int64_t>(i) + 1;
    char name[1024], where[2048];
    DescribeFunction(tree, static_cast<uint32_t>(i), name, sizeof(name), where, sizeof(where));
    std::string file = tree.strings[f.url];
    if (file.compare(0, 7, "file://") == 0) file.erase(0, 7);
    std::string function, location, line, field;
    PutInt(&function, kFunctionIdField, id);
    PutInt(&function, kName, strings->Add(name));
    PutInt(&function, kSystemName, strings->Add(name));
    PutInt(&function, kFilename, strings->Add(file));
    PutInt(&function, kStartLine, f.line + 1);
    PutBytes(&field, kFunction, function);
    PutInt(&line, kFunctionId, id);
    PutInt(&line, kLineNumber, f.line + 1);
    PutInt(&location, kLocationIdField, id);
    PutBytes(&location, kLine, line);
    PutBytes(&field, kLocation, location);
    gzip->Write(field);
  }
}

// A sample for each call site that counted anything, its stack from the
// innermost frame out; values gives its two values.
template <typename Values>
void WriteSamples(const CallTree& tree, Values values, GzipWriter* gzip) {
  std::vector<int32_t> path;
  for (size_t i = 0; i < tree.nodes.size(); i++) {
    const CallNode& node = tree.nodes[i];
    while (!path.empty() && path.back() != node.parent) path.pop_back();
    path.push_back(static_cast<int32_t>(i));
    if (node.self <= 0 && node.count <= 0) continue;
    std::vector<uint64_t> locations;
    for (size_t at = path.size(); at-- > 0;) {
      // The root above every stack only where it is the whole stack.
      if (IsV8Root(tree, static_cast<size_t>(path[at])) && path.size() > 1) continue;
      locations.push_back(static_cast<uint64_t>(tree.nodes[path[at]].function) + 1);
    }
    std::pair<int64_t, int64_t> pair = values(node);
    std::string sample, field;
    PutPacked(&sample, kLocationId, locations);
    PutPacked(&sample, kValue, {static_cast<uint64_t>(pair.first), static_cast<uint64_t>(pair.second)});
    PutBytes(&field, kSample, sample);
    gzip->Write(field);
  }
}

template <typename Values>
bool WriteProfile(const CallTree& tree, const Kind& kind, Values values, FILE* out) {
  GzipWriter gzip(out);
  StringTable strings;
  std::string head;
  for (int i = 0; i < 2; i++) PutValueType(&head, kSampleType, &strings, kind.types[i], kind.units[i]);
  gzip.Write(head);
  WriteSamples(tree, values, &gzip);
  WriteFunctions(tree, &strings, &gzip);
  std::string tail;
  PutInt(&tail, kDurationNanos, kind.duration_ns);
  PutValueType(&tail, kPeriodType, &strings, kind.types[1], kind.units[1]);
  PutInt(&tail, kPeriod, kind.period);
  PutInt(&tail, kDefaultSampleType, strings.Add(kind.types[kind.default_type]));
  gzip.Write(tail);
  strings.WriteTo(&gzip);
  return gzip.Finish();
}

}  // namespace

bool WriteCpuPprof(const CpuProfile& profile, FILE* out) {
  const int64_t duration_ns = ProfileDurationNs(profile);
  const int64_t interval_ns = profile.samples > 0 ? duration_ns / profile.samples : 0;
  const Kind kind = {{"samples", "cpu"}, {"count", "nanoseconds"}, 1, interval_ns, duration_ns};
  return WriteProfile(
      profile.tree, kind, [&](const CallNode& node) { return std::make_pair(node.self, node.self * interval_ns); },
      out);
}

bool WriteHeapPprof(const HeapProfile& profile, FILE* out) {
  const Kind kind = {{"objects", "space"}, {"count", "bytes"}, 1, 0, 0};
  return WriteProfile(
      profile.tree, kind, [](const CallNode& node) { return std::make_pair(node.count, node.self); }, out);
}
