// A sampling heap profile as V8 writes it: {"head": {"callFrame":
// {"functionName", "url", "lineNumber", "columnNumber"}, "selfSize", "id",
// "children": [nodes]}, "samples": [{"size", "nodeId", "ordinal"}]}, read
// as a stream into a call tree. Uses the JSON stream and the call tree.
#include "heap_profile.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "json_stream.h"

namespace {

// Where in the document a value lies.
enum Place : uint8_t { kDocument, kTop, kNode, kCallFrame, kChildren, kSamples, kSample, kIgnored };

class HeapProfileReader : public JsonEvents {
 public:
  explicit HeapProfileReader(HeapProfile* profile) : profile_(profile) {}

  bool Open(const char* key, bool array) override {
    Place at = places_.empty() ? kDocument : places_.back();
    Place next = kIgnored;
    if (at == kDocument && !array) {
      next = kTop;
    } else if ((at == kTop && !array && strcmp(key, "head") == 0) || (at == kChildren && !array)) {
      if (at == kTop && seen_head_) return Fail("two heads");
      seen_head_ = true;
      next = kNode;
      if (!StartNode(at == kTop ? -1 : open_.back().index)) return false;
    } else if (at == kNode && !array && strcmp(key, "callFrame") == 0) {
      next = kCallFrame;
    } else if (at == kNode && array && strcmp(key, "children") == 0) {
      next = kChildren;
    } else if (at == kTop && array && strcmp(key, "samples") == 0) {
      next = kSamples;
    } else if (at == kSamples && !array) {
      next = kSample;
      sample_node_ = -1;
    }
    if (at == kDocument && next != kTop) return Fail("the document is no object");
    places_.push_back(next);
    return true;
  }

  bool Close(bool) override {
    Place at = places_.back();
    places_.pop_back();
    if (at == kNode) return EndNode();
    if (at == kSample && sample_node_ >= 0) return AddSample(sample_node_);
    return true;
  }

  bool Scalar(const char* key, const JsonScalar& value) override {
    Place at = places_.empty() ? kDocument : places_.back();
    if (at == kDocument) return Fail("the document is no object");
    if (at == kNode && value.is_integer && strcmp(key, "selfSize") == 0) open_.back().self = value.integer;
    if (at == kNode && value.is_integer && strcmp(key, "id") == 0) {
      open_.back().id = value.integer;
      open_.back().has_id = true;
    }
    if (at == kCallFrame) TakeCallFrame(key, value);
    if (at == kSample && value.is_integer && strcmp(key, "nodeId") == 0) sample_node_ = value.integer;
    return true;
  }

  // Counts the samples read before their sites; false, with the reason,
  // when the profile does not hold together.
  bool Finish() {
    if (!seen_head_) return Fail("no head");
    for (int64_t id : pending_samples_) {
      if (!AddSample(id)) return false;
    }
    if (!FinishCallTree(&profile_->tree, reason_, sizeof(reason_))) return false;
    profile_->bytes = TreeSelfTotal(profile_->tree);
    return true;
  }

  const char* reason() const { return reason_; }

 private:
  // A node still open, with what was read of it.
  struct Pending {
    int32_t index;
    int64_t id = 0;
    bool has_id = false;
    int64_t self = 0;
    std::string name, url;
    int64_t line = -1, column = -1;
  };

  bool Fail(const char* reason) {
    snprintf(reason_, sizeof(reason_), "%s", reason);
    return false;
  }

  // Its index is known at once, so that its children can name it.
  bool StartNode(int32_t parent) {
    if (profile_->tree.nodes.size() >= kCallTreeNodeLimit) return Fail("too many allocation sites");
    Pending node;
    node.index = static_cast<int32_t>(profile_->tree.nodes.size());
    open_.push_back(node);
    profile_->tree.nodes.push_back({parent, 0, 0, 0});
    return true;
  }

  bool EndNode() {
    Pending& node = open_.back();
    if (!node.has_id) return Fail("an allocation site has no id");
    if (!ids_.emplace(node.id, node.index).second) return Fail("two allocation sites have one id");
    CallNode& added = profile_->tree.nodes[node.index];
    added.function = AddFunction(&profile_->tree, node.name, node.url, node.line, node.column);
    added.self = node.self < 0 ? 0 : std::min(node.self, kCallNodeCountLimit);
    open_.pop_back();
    return true;
  }

  void TakeCallFrame(const char* key, const JsonScalar& value) {
    Pending& node = open_.back();
    if (value.kind == JsonScalar::kString && strcmp(key, "functionName") == 0)
      node.name.assign(value.text, value.length);
    if (value.kind == JsonScalar::kString && strcmp(key, "url") == 0) node.url.assign(value.text, value.length);
    if (value.is_integer && strcmp(key, "lineNumber") == 0) node.line = value.integer;
    if (value.is_integer && strcmp(key, "columnNumber") == 0) node.column = value.integer;
  }

  // A sample of a site read already counts at once; one read before it
  // waits until the end. V8 lists samples of sites that it left out of the
  // tree (a few in a thousand): they count nowhere.
  bool AddSample(int64_t id) {
    auto found = ids_.find(id);
    if (found == ids_.end()) {
      if (!places_.empty()) {
        if (pending_samples_.size() >= kPendingSampleLimit) return Fail("too many samples before their sites");
        pending_samples_.push_back(id);
      }
      return true;
    }
    profile_->tree.nodes[found->second].count++;
    profile_->samples++;
    return true;
  }

  HeapProfile* profile_;
  std::vector<Place> places_;
  std::vector<Pending> open_;
  bool seen_head_ = false;
  std::unordered_map<int64_t, int32_t> ids_;
  int64_t sample_node_ = -1;
  std::vector<int64_t> pending_samples_;
  char reason_[256] = "";
};

}  // namespace

bool ReadHeapProfile(int fd, HeapProfile* profile, char* error, size_t size) {
  profile->tree = CallTree();
  profile->bytes = profile->samples = 0;
  HeapProfileReader reader(profile);
  return ReadJsonDocument(fd, &reader, error, size);
}
