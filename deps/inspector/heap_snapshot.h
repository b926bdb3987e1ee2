// A heap snapshot (or heap timeline) as V8 writes it, summarised as it is
// read: its node count and size, and the constructors that hold the most.
#ifndef QUELLIX_DEPS_INSPECTOR_HEAP_SNAPSHOT_H_
#define QUELLIX_DEPS_INSPECTOR_HEAP_SNAPSHOT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Objects of one constructor ("(string)", "(array)" and so on for what has
// none), with how many there are and their own size.
struct SnapshotClass {
  std::string name;
  int64_t count;
  int64_t bytes;
};

struct SnapshotSummary {
  int64_t nodes;
  int64_t bytes;                   // the sum of every node's own size
  std::vector<SnapshotClass> top;  // by bytes, the largest first
};

// Reads the snapshot on fd (from its current offset) to its end, keeping
// only a tally per constructor and the names of the largest, and fills
// summary with at most top of them. False, with the reason in error (size
// bytes), when it is no heap snapshot or cannot be read.
bool SummariseSnapshot(int fd, size_t top, SnapshotSummary* summary, char* error, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_HEAP_SNAPSHOT_H_
