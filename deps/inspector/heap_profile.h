// A sampling heap profile as V8 writes it (.heapprofile), read into a call
// tree whose self counts are the sampled bytes still live.
#ifndef QUELLIX_DEPS_INSPECTOR_HEAP_PROFILE_H_
#define QUELLIX_DEPS_INSPECTOR_HEAP_PROFILE_H_

#include <stddef.h>
#include <stdint.h>

#include "call_tree.h"

struct HeapProfile {
  CallTree tree;
  int64_t bytes;    // the sum of self over the tree
  int64_t samples;  // the allocations sampled
};

// Reads the profile on fd (from its current offset) into profile: each
// allocation site counts its bytes still live and the samples taken there.
// False, with the reason in error (size bytes), when it is no heap profile
// or cannot be read.
bool ReadHeapProfile(int fd, HeapProfile* profile, char* error, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_HEAP_PROFILE_H_
