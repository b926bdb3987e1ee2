// A result file once written: opened from quellix's side without following
// a link (within the target's root for a container), summarised, then
// copied or converted where -o says (the line of the copy comes last). The file is read as a stream, never whole.
// Uses the readers, the output formats, -o, the summaries, the system
// facts and the tools.
#include "result.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cpu_profile.h"
#include "diag_report.h"
#include "flame_graph.h"
#include "folded.h"
#include "heap_profile.h"
#include "heap_snapshot.h"
#include "output.h"
#include "pprof.h"
#include "report.h"
#include "summary.h"
#include "system_facts.h"
#include "tools.h"

namespace {

// The result file extensions the runtime writes; the kind of a result.
const char* const kResultExtensions[] = {"cpuprofile", "heapprofile", "heapsnapshot", "heaptimeline", "diag",
                                         "v8.log",     "v8options",   "txt",          "map"};

const char* KindOf(const char* path) {
  for (const char* ext : kResultExtensions) {
    size_t len = strlen(path), ext_len = strlen(ext);
    if (len > ext_len && path[len - ext_len - 1] == '.' && StrEndsWith(path, ext)) return ext;
  }
  return "";
}

// What a result comes to: where it lies from here, and where it goes.
struct Conclusion {
  int pid;
  char host[2048];
  const char* kind;
  const char* output;
  bool force;
  int status;
};

// How a copy ended.
enum Copied { kCopied, kInterrupted, kNotRead };

// The file from its beginning into out, stopping at a signal to end the
// tool. A read error is printed here; a write error shows when the file
// is published.
Copied CopyFile(int fd, const char* host, FILE* out) {
  static char chunk[1 << 20];
  int error = lseek(fd, 0, SEEK_SET) == 0 ? 0 : errno;
  while (error == 0) {
    if (OutputInterrupted()) return kInterrupted;
    ssize_t got = read(fd, chunk, sizeof(chunk));
    if (got == -1 && errno == EINTR) continue;
    if (got == -1) error = errno;
    if (got == 0) return kCopied;
    if (got > 0 && fwrite(chunk, 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) return kCopied;
  }
  char shown[8192];
  EscapeControls(host, shown, sizeof(shown));
  printf("Cannot read %s: %s.\n", shown, strerror(error));
  return kNotRead;
}

// Writes a profile in format; cpu or heap is the profile read.
void Convert(OutputFormat format, const CpuProfile* cpu, const HeapProfile* heap, FILE* out) {
  if (format == kOutputPprof && cpu != nullptr) WriteCpuPprof(*cpu, out);
  if (format == kOutputPprof && heap != nullptr) WriteHeapPprof(*heap, out);
  if (format == kOutputFolded && cpu != nullptr) WriteFolded(cpu->tree, out);
  if (format == kOutputFlameGraph && cpu != nullptr) {
    char title[256];
    const double seconds = static_cast<double>(ProfileDurationNs(*cpu)) / 1e9;
    snprintf(title, sizeof(title), "CPU profile: %lld samples in %.1f s", static_cast<long long>(cpu->samples),
             seconds);
    WriteFlameGraph(cpu->tree, title, "samples", out);
  }
}

// The copy where -o says: the file as written from fd, or the profile
// read (cpu or heap; both null when it could not be read, why in error).
void WriteOutput(Conclusion* c, int fd, const CpuProfile* cpu, const HeapProfile* heap, const char* error) {
  if (c->output == nullptr) return;
  // The summary before it is no error.
  MarkNoError();
  c->status = 1;
  OutputFormat format;
  // Checked again: a stop given by hand learns its result's kind only now,
  // and the path may have been taken meanwhile.
  if (!CheckOutput(c->output, c->kind, c->force) || !ChooseOutputFormat(c->output, c->kind, &format)) {
    PrintResultStays(c->host);
    return;
  }
  if (format != kOutputAsWritten && cpu == nullptr && heap == nullptr) {
    char shown[8192];
    EscapeControls(c->host, shown, sizeof(shown));
    printf("Cannot convert %s: %s.\n", shown, error);
    PrintResultStays(c->host);
    return;
  }
  OutputFile out;
  if (!CreateOutput(c->output, &out)) {
    PrintResultStays(c->host);
    return;
  }
  Copied done = kCopied;
  if (format == kOutputAsWritten) {
    done = CopyFile(fd, c->host, out.file);
  } else {
    Convert(format, cpu, heap, out.file);
  }
  if (done == kCopied && OutputInterrupted()) done = kInterrupted;
  if (done == kInterrupted) {
    char shown[8192];
    EscapeControls(c->output, shown, sizeof(shown));
    printf("Stopped; %s is not written.\n", shown);
  }
  if (done != kCopied) {
    DiscardOutput(&out, c->host);
    return;
  }
  if (PublishOutput(&out, c->force, format, c->host)) c->status = 0;
}

void ConcludeCpuProfile(Conclusion* c, int fd) {
  static CpuProfile profile;
  char error[512];
  bool read = ReadCpuProfile(fd, &profile, error, sizeof(error));
  if (read) {
    PrintCpuSummary(profile);
  } else {
    PrintNoSummary(c->host, error);
  }
  WriteOutput(c, fd, read ? &profile : nullptr, nullptr, error);
  profile = CpuProfile();
}

void ConcludeHeapProfile(Conclusion* c, int fd) {
  static HeapProfile profile;
  char error[512];
  bool read = ReadHeapProfile(fd, &profile, error, sizeof(error));
  if (read) {
    PrintHeapProfileSummary(profile);
  } else {
    PrintNoSummary(c->host, error);
  }
  WriteOutput(c, fd, nullptr, read ? &profile : nullptr, error);
  profile = HeapProfile();
}

void ConcludeSnapshot(Conclusion* c, int fd) {
  SnapshotSummary summary;
  char error[512];
  if (SummariseSnapshot(fd, kSummaryRows, &summary, error, sizeof(error))) {
    PrintSnapshotSummary(summary);
  } else {
    PrintNoSummary(c->host, error);
  }
  WriteOutput(c, fd, nullptr, nullptr, "");
}

void ConcludeReport(Conclusion* c, int fd) {
  ReportSummary summary;
  char error[512];
  if (SummariseReport(fd, kSummaryRows - 3, &summary, error, sizeof(error))) {
    int64_t started = -1;
    if (!ProcessStartedAtMs(c->pid, &started)) started = -1;
    PrintReportSummary(summary, started);
  } else {
    PrintNoSummary(c->host, error);
  }
  WriteOutput(c, fd, nullptr, nullptr, "");
}

// Each kind of result: what is done with it.
const struct {
  const char* kind;
  void (*conclude)(Conclusion* c, int fd);
} kConclusions[] = {
    {"cpuprofile", ConcludeCpuProfile}, {"heapprofile", ConcludeHeapProfile},
    {"heapsnapshot", ConcludeSnapshot}, {"heaptimeline", ConcludeSnapshot},
    {"diag", ConcludeReport},
};

}  // namespace

#if defined(__APPLE__)

// No other mount namespaces here: the file itself, never a link in its
// place, and nothing that is no regular file.
int OpenResultFile(int, const char* path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd == -1 || (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))) return fd;
  close(fd);
  errno = EINVAL;
  return -1;
}

#else

// The file itself, never a link in its place (inside a container resolved
// within its root), and nothing that is no regular file.
int OpenResultFile(int pid, const char* path) {
  int found = GetTargetPlace(pid).other_mount ? OpenInRoot(pid, path, O_PATH | O_NOFOLLOW)
                                              : open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (found == -1) return -1;
  int fd = OpenRegular(found);
  if (fd == -1) errno = EINVAL;
  return fd;
}

#endif

int ConcludeResult(int pid, const char* path, const char* output, bool force) {
  // What was printed shows before a summary that may take seconds.
  fflush(stdout);
  static Conclusion c;
  c.pid = pid;
  HostPathOf(pid, path, c.host, sizeof(c.host));
  c.kind = KindOf(path);
  c.output = output;
  c.force = force;
  c.status = 0;
  int fd = OpenResultFile(pid, path);
  if (fd == -1) {
    char error[512];
    snprintf(error, sizeof(error), "cannot open it: %s", errno == EINVAL ? "no regular file" : strerror(errno));
    if (output != nullptr) {
      char shown[8192];
      EscapeControls(c.host, shown, sizeof(shown));
      printf("Cannot copy %s: %s.\n", shown, error);
      return 1;
    }
    PrintNoSummary(c.host, error);
    return 0;
  }
  bool known = false;
  for (const auto& entry : kConclusions) {
    if (strcmp(entry.kind, c.kind) != 0) continue;
    entry.conclude(&c, fd);
    known = true;
  }
  // Other results have no summary; only their copy.
  if (!known) WriteOutput(&c, fd, nullptr, nullptr, "");
  close(fd);
  return c.status;
}
