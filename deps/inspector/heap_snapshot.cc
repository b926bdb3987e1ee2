// A heap snapshot as V8 writes it: {"snapshot": {"meta": {"node_fields",
// "node_types", ...}, "node_count", ...}, "nodes": [numbers, a row of
// node_fields per node], "edges": [...], ..., "strings": [...]}, summarised
// as it streams by: a tally per constructor while the nodes pass, then
// the names of the largest from the strings at the end. Memory stays with
// the number of constructors, never the file's size. Uses the JSON stream.
#include "heap_snapshot.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "json_stream.h"

namespace {

// Where in the document a value lies.
enum Place : uint8_t {
  kDocument,
  kTop,
  kSnapshot,
  kMeta,
  kNodeFields,
  kNodeTypes,
  kTypeNames,
  kNodes,
  kStrings,
  kIgnored
};

// The most constructors tallied one by one; the rest share one row.
const size_t kClassLimit = 1 << 18;
// The longest name kept.
const size_t kNameLimit = 200;
// The most fields a node may have.
const size_t kFieldLimit = 64;
// Node types: V8 has about fifteen.
const size_t kTypeLimit = 4096;

int64_t Add(int64_t a, int64_t b) {
  int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

struct Tally {
  int64_t count = 0;
  int64_t bytes = 0;
};

class SnapshotReader : public JsonEvents {
 public:
  SnapshotReader(SnapshotSummary* summary, size_t top) : summary_(summary), top_(top) {}

  bool Open(const char* key, bool array) override {
    Place at = places_.empty() ? kDocument : places_.back();
    Place next = kIgnored;
    if (at == kDocument && !array) {
      next = kTop;
    } else if (at == kTop && !array && strcmp(key, "snapshot") == 0) {
      next = kSnapshot;
    } else if (at == kSnapshot && !array && strcmp(key, "meta") == 0) {
      next = kMeta;
    } else if (at == kMeta && array && strcmp(key, "node_fields") == 0) {
      next = kNodeFields;
      fields_.clear();
    } else if (at == kMeta && array && strcmp(key, "node_types") == 0) {
      next = kNodeTypes;
      first_type_entry_ = true;
    } else if (at == kNodeTypes && array && first_type_entry_) {
      next = kTypeNames;
      types_.clear();
    } else if (at == kTop && array && strcmp(key, "nodes") == 0) {
      if (!Described()) return false;
      next = kNodes;
      field_ = 0;
    } else if (at == kTop && array && strcmp(key, "strings") == 0) {
      next = kStrings;
      string_index_ = 0;
    }
    if (at == kNodeTypes) first_type_entry_ = false;
    if (at == kDocument && next != kTop) return Fail("the document is no object");
    places_.push_back(next);
    return true;
  }

  bool Close(bool) override {
    Place at = places_.back();
    places_.pop_back();
    if (at != kNodes) return true;
    if (field_ != 0) return Fail("the last node is cut short");
    nodes_done_ = true;
    WantNames();
    return true;
  }

  bool Scalar(const char*, const JsonScalar& value) override {
    Place at = places_.empty() ? kDocument : places_.back();
    if (at == kNodes) {
      if (!value.is_integer) return Fail("a node's field is no whole number");
      row_[field_] = value.integer;
      if (++field_ == fields_.size()) {
        field_ = 0;
        CountNode();
      }
      return true;
    }
    if (at == kStrings) {
      TakeString(value);
      return true;
    }
    if (at == kDocument) return Fail("the document is no object");
    // The descriptions are short: a longer one is no snapshot's.
    if ((at == kNodeFields && fields_.size() >= kFieldLimit) || (at == kTypeNames && types_.size() >= kTypeLimit)) {
      return Fail("the nodes come without a valid description");
    }
    if (at == kNodeFields && value.kind == JsonScalar::kString) fields_.emplace_back(value.text, value.length);
    if (at == kTypeNames && value.kind == JsonScalar::kString) types_.emplace_back(value.text, value.length);
    if (at == kNodeTypes) first_type_entry_ = false;
    return true;
  }

  // Picks the largest constructors and names them; false, with the
  // reason, when the snapshot had no nodes.
  bool Finish() {
    if (!nodes_done_) return Fail("no nodes");
    summary_->top.clear();
    for (int64_t key : Largest(false)) {
      const Tally& tally = tallies_[key];
      summary_->top.push_back({NameOf(key), tally.count, tally.bytes});
    }
    return true;
  }

  const char* reason() const { return reason_; }

 private:
  // The keys of the top_ largest tallies (only those named by a string,
  // with named), the largest first.
  std::vector<int64_t> Largest(bool named) const {
    std::vector<std::pair<int64_t, int64_t>> order;  // -bytes, key: ascending is largest first
    for (const auto& entry : tallies_) {
      if (!named || entry.first >= 0) order.emplace_back(-entry.second.bytes, entry.first);
    }
    size_t keep = std::min(top_, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(keep), order.end());
    std::vector<int64_t> keys;
    for (size_t i = 0; i < keep; i++) keys.push_back(order[i].second);
    return keys;
  }

  // Once the nodes have been tallied, the strings that name the largest
  // constructors are the only ones kept.
  void WantNames() {
    for (int64_t key : Largest(true)) names_.emplace(key, std::string());
  }

  bool Fail(const char* reason) {
    snprintf(reason_, sizeof(reason_), "%s", reason);
    return false;
  }

  // The positions of the three fields that count, and how each node type
  // is tallied.
  bool Described() {
    if (fields_.empty() || fields_.size() > kFieldLimit) return Fail("the nodes come without a valid description");
    type_field_ = name_field_ = size_field_ = fields_.size();
    for (size_t i = 0; i < fields_.size(); i++) {
      if (fields_[i] == "type") type_field_ = i;
      if (fields_[i] == "name") name_field_ = i;
      if (fields_[i] == "self_size") size_field_ = i;
    }
    if (type_field_ == fields_.size() || name_field_ == fields_.size() || size_field_ == fields_.size()) {
      return Fail("the nodes have no type, name or self_size");
    }
    labels_.clear();
    groups_.clear();
    for (const std::string& type : types_) {
      if (type == "object" || type == "native") {
        groups_.push_back(kByName);
      } else if (type == "synthetic") {
        groups_.push_back(kNotCounted);
      } else {
        bool text = type == "string" || type == "concatenated string" || type == "sliced string";
        std::string label = text ? "(string)" : "(" + type + ")";
        auto same = std::find(labels_.begin(), labels_.end(), label);
        groups_.push_back(static_cast<int64_t>(same - labels_.begin()));
        if (same == labels_.end()) labels_.push_back(label);
      }
    }
    return true;
  }

  // Objects count by the name of their constructor, everything else by
  // its type; the roots V8 adds are no objects.
  void CountNode() {
    int64_t type = row_[type_field_];
    // No object is larger than 4 GiB; the sums saturate.
    int64_t size = std::min(std::max(row_[size_field_], INT64_C(0)), INT64_C(1) << 32);
    summary_->nodes++;
    summary_->bytes = Add(summary_->bytes, size);
    int64_t group = type >= 0 && static_cast<size_t>(type) < groups_.size() ? groups_[type] : kUnknownType;
    if (group == kNotCounted) return;
    int64_t key = kUnknownType;
    if (group == kByName && row_[name_field_] >= 0) key = row_[name_field_];
    if (group >= 0) key = -2 - group;
    if (tallies_.size() >= kClassLimit && tallies_.find(key) == tallies_.end()) key = kOthers;
    Tally& tally = tallies_[key];
    tally.count++;
    tally.bytes = Add(tally.bytes, size);
  }

  void TakeString(const JsonScalar& value) {
    int64_t index = string_index_++;
    if (value.kind != JsonScalar::kString) return;
    auto wanted = names_.find(index);
    if (wanted != names_.end()) wanted->second.assign(value.text, std::min(value.length, kNameLimit));
  }

  std::string NameOf(int64_t key) const {
    if (key == kOthers) return "(other constructors)";
    if (key == kUnknownType) return "(unknown)";
    if (key <= -2) return labels_[static_cast<size_t>(-2 - key)];
    auto found = names_.find(key);
    if (found != names_.end() && !found->second.empty()) return found->second;
    return "(string " + std::to_string(key) + ")";
  }

  static constexpr int64_t kByName = -1;
  static constexpr int64_t kNotCounted = -2;
  static constexpr int64_t kUnknownType = INT64_MIN + 1;
  static constexpr int64_t kOthers = INT64_MIN;

  SnapshotSummary* summary_;
  size_t top_;
  std::vector<Place> places_;
  std::vector<std::string> fields_, types_, labels_;
  std::vector<int64_t> groups_;  // per type: kByName, kNotCounted or an index into labels_
  bool first_type_entry_ = false;
  size_t type_field_ = 0, name_field_ = 0, size_field_ = 0;
  int64_t row_[kFieldLimit] = {};
  size_t field_ = 0;
  bool nodes_done_ = false;
  std::unordered_map<int64_t, Tally> tallies_;
  std::unordered_map<int64_t, std::string> names_;  // string index: name
  int64_t string_index_ = 0;
  char reason_[256] = "";
};

}  // namespace

bool SummariseSnapshot(int fd, size_t top, SnapshotSummary* summary, char* error, size_t size) {
  summary->nodes = summary->bytes = 0;
  summary->top.clear();
  SnapshotReader reader(summary, top);
  return ReadJsonDocument(fd, &reader, error, size);
}
