// A CPU profile as V8 writes it: {"nodes": [{"id", "callFrame":
// {"functionName", "url", "lineNumber", "columnNumber"}, "hitCount",
// "children": [ids]}], "startTime", "endTime", "samples": [ids],
// "timeDeltas"}, read as a stream into a call tree. Uses the JSON stream
// and the call tree.
#include "cpu_profile.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "json_stream.h"

namespace {

// Where in the document a value lies.
enum Place : uint8_t { kDocument, kTop, kNodes, kNode, kCallFrame, kChildren, kSamples, kIgnored };

class CpuProfileReader : public JsonEvents {
 public:
  explicit CpuProfileReader(CpuProfile* profile) : profile_(profile) {}

  bool Open(const char* key, bool array) override {
    Place at = places_.empty() ? kDocument : places_.back();
    Place next = kIgnored;
    if (at == kDocument && !array) {
      next = kTop;
    } else if (at == kTop && array && strcmp(key, "nodes") == 0) {
      next = kNodes;
      seen_nodes_ = true;
    } else if (at == kTop && array && strcmp(key, "samples") == 0) {
      next = kSamples;
      seen_samples_ = true;
    } else if (at == kNodes && !array) {
      next = kNode;
      node_ = Pending();
    } else if (at == kNode && !array && strcmp(key, "callFrame") == 0) {
      next = kCallFrame;
    } else if (at == kNode && array && strcmp(key, "children") == 0) {
      next = kChildren;
    }
    if (at == kDocument && next != kTop) return Fail("the document is no object");
    places_.push_back(next);
    return true;
  }

  bool Close(bool) override {
    Place at = places_.back();
    places_.pop_back();
    return at != kNode || AddNode();
  }

  bool Scalar(const char* key, const JsonScalar& value) override {
    Place at = places_.empty() ? kDocument : places_.back();
    if (at == kDocument) return Fail("the document is no object");
    if (at == kSamples) return value.is_integer ? AddSample(value.integer) : Fail("a sample is no call site id");
    if (at == kChildren) {
      if (!value.is_integer) return Fail("a child is no call site id");
      // A call site is the child of one other at most: more children than
      // call sites can be is no profile, and must not take memory as if.
      if (children_.size() + node_.children.size() >= kCallTreeNodeLimit) return Fail("too many children");
      node_.children.push_back(value.integer);
      return true;
    }
    if (at == kTop && value.is_integer && strcmp(key, "startTime") == 0) profile_->start_us = value.integer;
    if (at == kTop && value.is_integer && strcmp(key, "endTime") == 0) profile_->end_us = value.integer;
    if (at == kNode && value.is_integer && strcmp(key, "id") == 0) {
      node_.id = value.integer;
      node_.has_id = true;
    }
    if (at == kNode && value.is_integer && strcmp(key, "hitCount") == 0) node_.hits = value.integer;
    if (at == kCallFrame) TakeCallFrame(key, value);
    return true;
  }

  // Links each node to its parent and counts the samples; false, with the
  // reason, when the profile does not hold together.
  bool Finish() {
    if (!seen_nodes_ || profile_->tree.nodes.empty()) return Fail("no call sites");
    for (const auto& link : children_) {
      auto child = ids_.find(link.first);
      if (child == ids_.end()) return Fail("a call site names a child that is not given");
      CallNode& node = profile_->tree.nodes[child->second];
      if (node.parent != -1) return Fail("a call site is the child of two");
      node.parent = link.second;
    }
    for (int64_t id : pending_samples_) {
      if (!AddSample(id)) return false;
    }
    // Without samples, the count of each site stands.
    if (!seen_samples_ || profile_->samples == 0) {
      std::vector<CallNode>& nodes = profile_->tree.nodes;
      for (size_t i = 0; i < nodes.size(); i++) nodes[i].self = nodes[i].count = hits_[i];
    }
    if (!FinishCallTree(&profile_->tree, reason_, sizeof(reason_))) return false;
    profile_->samples = TreeSelfTotal(profile_->tree);
    return true;
  }

  const char* reason() const { return reason_; }

 private:
  // A node as read, before it is added.
  struct Pending {
    int64_t id = 0;
    bool has_id = false;
    int64_t hits = 0;
    std::string name, url;
    int64_t line = -1, column = -1;
    std::vector<int64_t> children;
  };

  bool Fail(const char* reason) {
    snprintf(reason_, sizeof(reason_), "%s", reason);
    return false;
  }

  void TakeCallFrame(const char* key, const JsonScalar& value) {
    if (value.kind == JsonScalar::kString && strcmp(key, "functionName") == 0)
      node_.name.assign(value.text, value.length);
    if (value.kind == JsonScalar::kString && strcmp(key, "url") == 0) node_.url.assign(value.text, value.length);
    if (value.is_integer && strcmp(key, "lineNumber") == 0) node_.line = value.integer;
    if (value.is_integer && strcmp(key, "columnNumber") == 0) node_.column = value.integer;
  }

  bool AddNode() {
    if (!node_.has_id) return Fail("a call site has no id");
    if (profile_->tree.nodes.size() >= kCallTreeNodeLimit) return Fail("too many call sites");
    int32_t index = static_cast<int32_t>(profile_->tree.nodes.size());
    if (!ids_.emplace(node_.id, index).second) return Fail("two call sites have one id");
    uint32_t function = AddFunction(&profile_->tree, node_.name, node_.url, node_.line, node_.column);
    profile_->tree.nodes.push_back({-1, function, 0, 0});
    hits_.push_back(node_.hits < 0 ? 0 : std::min(node_.hits, kCallNodeCountLimit));
    for (int64_t child : node_.children) children_.emplace_back(child, index);
    return true;
  }

  // A sample of a known call site counts at once; one read before the
  // call sites waits for them.
  bool AddSample(int64_t id) {
    auto found = ids_.find(id);
    if (found == ids_.end()) {
      if (!places_.empty()) {
        // Samples wait for their call sites within the bound of a profile's.
        if (pending_samples_.size() >= kPendingSampleLimit) return Fail("too many samples before their call sites");
        pending_samples_.push_back(id);
        return true;
      }
      return Fail("a sample names a call site that is not given");
    }
    CallNode& node = profile_->tree.nodes[found->second];
    node.self++;
    node.count++;
    profile_->samples++;
    return true;
  }

  CpuProfile* profile_;
  std::vector<Place> places_;
  Pending node_;
  bool seen_nodes_ = false;
  bool seen_samples_ = false;
  std::unordered_map<int64_t, int32_t> ids_;
  std::vector<int64_t> hits_;
  std::vector<std::pair<int64_t, int32_t>> children_;  // child id, parent index
  std::vector<int64_t> pending_samples_;
  char reason_[256] = "";
};

}  // namespace

bool ReadCpuProfile(int fd, CpuProfile* profile, char* error, size_t size) {
  profile->tree = CallTree();
  profile->samples = profile->start_us = profile->end_us = 0;
  CpuProfileReader reader(profile);
  return ReadJsonDocument(fd, &reader, error, size);
}

int64_t ProfileDurationNs(const CpuProfile& profile) {
  int64_t us = 0;
  if (__builtin_sub_overflow(profile.end_us, profile.start_us, &us) || us <= 0 || us > INT64_MAX / 1000) return 0;
  return us * 1000;
}
