// A diagnostic report as node writes it: {"header": {"dumpEventTimeStamp",
// ...}, "javascriptStack": {"message", "stack": [frames]},
// "javascriptHeap": {"usedMemory", "memoryLimit", ...}, "resourceUsage":
// {"rss", ...}, "libuv": [{"type", ...}], ...}, read as a stream for its
// summary. Uses the JSON stream.
#include "diag_report.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "json_stream.h"

namespace {

// Where in the document a value lies.
enum Place : uint8_t { kDocument, kTop, kHeader, kStack, kFrames, kHeap, kUsage, kHandles, kHandle, kIgnored };

// The most handle types counted one by one; the rest share one row.
const size_t kTypeLimit = 64;
// The longest frame or message kept.
const size_t kTextLimit = 300;

class ReportReader : public JsonEvents {
 public:
  ReportReader(ReportSummary* summary, size_t frames) : summary_(summary), frames_(frames) {}

  bool Open(const char* key, bool array) override {
    Place at = places_.empty() ? kDocument : places_.back();
    Place next = kIgnored;
    if (at == kDocument && !array) next = kTop;
    if (at == kTop && !array && strcmp(key, "header") == 0) next = kHeader;
    if (at == kTop && !array && strcmp(key, "javascriptStack") == 0) next = kStack;
    if (at == kStack && array && strcmp(key, "stack") == 0) next = kFrames;
    if (at == kTop && !array && strcmp(key, "javascriptHeap") == 0) next = kHeap;
    if (at == kTop && !array && strcmp(key, "resourceUsage") == 0) next = kUsage;
    if (at == kTop && array && strcmp(key, "libuv") == 0) next = kHandles;
    if (at == kHandles && !array) next = kHandle;
    if (at == kDocument && next != kTop) return Fail("the document is no object");
    // Any of the report's own parts makes it one.
    seen_ = seen_ || (at == kTop && next != kIgnored);
    places_.push_back(next);
    return true;
  }

  bool Close(bool) override {
    places_.pop_back();
    return true;
  }

  bool Scalar(const char* key, const JsonScalar& value) override {
    Place at = places_.empty() ? kDocument : places_.back();
    if (at == kDocument) return Fail("the document is no object");
    if (at == kHeader && strcmp(key, "dumpEventTimeStamp") == 0)
      summary_->taken_ms = static_cast<int64_t>(Number(value));
    if (at == kStack && value.kind == JsonScalar::kString && strcmp(key, "message") == 0) {
      summary_->message.assign(value.text, value.length < kTextLimit ? value.length : kTextLimit);
    }
    if (at == kFrames && value.kind == JsonScalar::kString) TakeFrame(value);
    if (at == kHeap && strcmp(key, "usedMemory") == 0) summary_->heap_used = Number(value);
    if (at == kHeap && strcmp(key, "memoryLimit") == 0) summary_->heap_limit = Number(value);
    if (at == kUsage && strcmp(key, "rss") == 0) summary_->rss = Number(value);
    if (at == kHandle && value.kind == JsonScalar::kString && strcmp(key, "type") == 0) CountHandle(value);
    return true;
  }

  bool seen() const { return seen_; }
  const char* reason() const { return reason_; }

 private:
  bool Fail(const char* reason) {
    snprintf(reason_, sizeof(reason_), "%s", reason);
    return false;
  }

  // A number, or one written as a string of digits, that a count of bytes
  // or milliseconds can be; -1 for anything else.
  static double Number(const JsonScalar& value) {
    double number = -1;
    if (value.kind == JsonScalar::kNumber) number = value.number;
    if (value.kind == JsonScalar::kString && value.length > 0 && value.length <= 18 &&
        strspn(value.text, "0123456789") == value.length) {
      number = strtod(value.text, nullptr);
    }
    return number >= 0 && number < 9e18 ? number : -1;
  }

  void TakeFrame(const JsonScalar& value) {
    summary_->frames++;
    if (summary_->stack.size() < frames_) {
      summary_->stack.emplace_back(value.text, value.length < kTextLimit ? value.length : kTextLimit);
    }
  }

  void CountHandle(const JsonScalar& value) {
    std::string type(value.text, value.length < kTextLimit ? value.length : kTextLimit);
    for (auto& entry : summary_->handles) {
      if (entry.first == type) {
        entry.second++;
        return;
      }
    }
    if (summary_->handles.size() + 1 >= kTypeLimit) type = "(other)";
    for (auto& entry : summary_->handles) {
      if (entry.first == type) {
        entry.second++;
        return;
      }
    }
    summary_->handles.emplace_back(type, 1);
  }

  ReportSummary* summary_;
  size_t frames_;
  std::vector<Place> places_;
  bool seen_ = false;
  char reason_[256] = "";
};

}  // namespace

bool SummariseReport(int fd, size_t frames, ReportSummary* summary, char* error, size_t size) {
  *summary = ReportSummary();
  summary->frames = 0;
  summary->heap_used = summary->heap_limit = summary->rss = -1;
  summary->taken_ms = -1;
  ReportReader reader(summary, frames);
  if (!ReadJsonFile(fd, &reader, error, size)) {
    if (error[0] == '\0') snprintf(error, size, "%s", reader.reason());
    return false;
  }
  if (!reader.seen()) {
    snprintf(error, size, "no report in it");
    return false;
  }
  return true;
}
