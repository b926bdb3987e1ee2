// Profiles in pprof's format: the profile.proto message, gzipped.
#ifndef QUELLIX_DEPS_INSPECTOR_PPROF_H_
#define QUELLIX_DEPS_INSPECTOR_PPROF_H_

#include <stdio.h>

#include "cpu_profile.h"
#include "heap_profile.h"

// A CPU profile: per stack its samples ("samples", "count") and their CPU
// time ("cpu", "nanoseconds": samples times the mean interval). False when
// a write failed.
bool WriteCpuPprof(const CpuProfile& profile, FILE* out);
// A heap profile: per stack the sampled allocations still live
// ("objects", "count") and their bytes ("space", "bytes").
bool WriteHeapPprof(const HeapProfile& profile, FILE* out);

#endif  // QUELLIX_DEPS_INSPECTOR_PPROF_H_
