// A CPU profile as V8 writes it (.cpuprofile), read into a call tree whose
// self counts are samples.
#ifndef QUELLIX_DEPS_INSPECTOR_CPU_PROFILE_H_
#define QUELLIX_DEPS_INSPECTOR_CPU_PROFILE_H_

#include <stddef.h>
#include <stdint.h>

#include "call_tree.h"

struct CpuProfile {
  CallTree tree;
  int64_t samples;   // the sum of self over the tree
  int64_t start_us;  // V8's clock, in microseconds
  int64_t end_us;
};

// Reads the profile on fd (from its current offset) into profile: each call
// site counts the samples taken in it (its hitCount where the profile has
// no list of samples). False, with the reason in error (size bytes), when
// it is no CPU profile or cannot be read.
bool ReadCpuProfile(int fd, CpuProfile* profile, char* error, size_t size);
// How long the profile ran, in nanoseconds; 0 where its times give no
// duration that fits.
int64_t ProfileDurationNs(const CpuProfile& profile);

#endif  // QUELLIX_DEPS_INSPECTOR_CPU_PROFILE_H_
