// Fuzzes the readers of CPU and heap profiles, which parse what the
// target's side wrote, and everything made of a profile read: the call
// tree's order, the summaries, folded stacks, pprof and the flame graph.
// The input becomes a whole file (a memfd), read as quellix reads one.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "cpu_profile.h"
#include "flame_graph.h"
#include "folded.h"
#include "fuzz_support.h"
#include "heap_profile.h"
#include "pprof.h"
#include "summary.h"

namespace {

int FileOf(const uint8_t* data, size_t size) {
  int fd = memfd_create("profile_fuzz", MFD_CLOEXEC);
  if (fd == -1) abort();
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

// Every node after its parent, each self count not negative, and the tree
// counting what it says it counts.
void CheckTree(const CallTree& tree, int64_t total) {
  for (size_t i = 0; i < tree.nodes.size(); i++) {
    const CallNode& node = tree.nodes[i];
    if (node.parent >= static_cast<int32_t>(i) || node.self < 0 || node.function >= tree.functions.size()) abort();
  }
  if (TreeSelfTotal(tree) != total) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = nullptr;
  if (sink == nullptr) {
    qfuzz::QuietStdout();
    sink = fopen("/dev/null", "w");
    if (sink == nullptr) abort();
  }
  int fd = FileOf(data, size);
  char error[512];
  static CpuProfile cpu;
  if (ReadCpuProfile(fd, &cpu, error, sizeof(error))) {
    CheckTree(cpu.tree, cpu.samples);
    PrintCpuSummary(cpu);
    WriteFolded(cpu.tree, sink);
    WriteCpuPprof(cpu, sink);
    WriteFlameGraph(cpu.tree, "fuzz", "samples", sink);
  }
  lseek(fd, 0, SEEK_SET);
  static HeapProfile heap;
  if (ReadHeapProfile(fd, &heap, error, sizeof(error))) {
    CheckTree(heap.tree, heap.bytes);
    PrintHeapProfileSummary(heap);
    WriteHeapPprof(heap, sink);
  }
  close(fd);
  return 0;
}
