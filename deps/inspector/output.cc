// -o: the format a path's extension names, the checks before anything is
// sent, and the file itself: written under a temporary name beside it and
// renamed into place whole, never over an existing file (with --force only
// over a regular one) and never through a link. Uses the JSON report and
// the tools.
#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report.h"
#include "system_facts.h"
#include "tools.h"

namespace {

// An extension that names a format, and the results that can take it.
struct Extension {
  const char* ext;
  const char* fits[2];  // result file extensions
  OutputFormat format;
  const char* name;
};

const Extension kExtensions[] = {
    {".cpuprofile", {"cpuprofile", nullptr}, kOutputAsWritten, "a CPU profile"},
    {".heapprofile", {"heapprofile", nullptr}, kOutputAsWritten, "a heap profile"},
    {".heapsnapshot", {"heapsnapshot", "heaptimeline"}, kOutputAsWritten, "a heap snapshot"},
    {".heaptimeline", {"heaptimeline", nullptr}, kOutputAsWritten, "a heap timeline"},
    {".html", {"cpuprofile", nullptr}, kOutputFlameGraph, "a flame graph"},
    {".folded", {"cpuprofile", nullptr}, kOutputFolded, "folded stacks"},
    {".pb.gz", {"cpuprofile", "heapprofile"}, kOutputPprof, "pprof"},
};

// What each result file is, by the extension the runtime gives it.
const struct {
  const char* ext;
  const char* name;
} kResults[] = {
    {"cpuprofile", "a CPU profile"},
    {"heapprofile", "a heap profile"},
    {"heapsnapshot", "a heap snapshot"},
    {"heaptimeline", "a heap timeline"},
    {"diag", "a diagnostic report"},
    {"txt", "a text file"},
    {"v8.log", "a V8 log"},
    {"v8options", "a V8 options result"},
    {"map", "a perf map"},
};

const Extension* ExtensionOf(const char* path) {
  const char* base = strrchr(path, '/');
  base = base == nullptr ? path : base + 1;
  for (const Extension& e : kExtensions) {
    // The name must have more than the extension.
    if (strlen(base) > strlen(e.ext) && StrEndsWith(base, e.ext)) return &e;
  }
  return nullptr;
}

bool Fits(const Extension& e, const char* result_ext) {
  for (const char* fit : e.fits) {
    if (fit != nullptr && strcmp(fit, result_ext) == 0) return true;
  }
  return false;
}

const char* ResultName(const char* result_ext) {
  for (const auto& result : kResults) {
    if (strcmp(result.ext, result_ext) == 0) return result.name;
  }
  return "this result";
}

void PrintCannotWrite(const char* path, int error) {
  char shown[8192];
  EscapeControls(path, shown, sizeof(shown));
  printf("Cannot write %s: %s.\n", shown, strerror(error));
}

void PrintExists(const char* path) {
  char shown[8192];
  EscapeControls(path, shown, sizeof(shown));
  printf("Output %s exists; add --force to replace it.\n", shown);
}

void PrintNotRegular(const char* path) {
  char shown[8192];
  EscapeControls(path, shown, sizeof(shown));
  printf("Output %s is no regular file; --force replaces only a regular file.\n", shown);
}

void PrintRefusedFormat(const char* path, const Extension& e, const char* result_ext) {
  char shown[8192], takes[256] = "";
  EscapeControls(path, shown, sizeof(shown));
  for (const Extension& other : kExtensions) {
    if (Fits(other, result_ext)) AppendFormat(takes, sizeof(takes), "%s%s", takes[0] != '\0' ? ", " : "", other.ext);
  }
  if (takes[0] == '\0') {
    printf("Output %s: %s cannot be written as %s; give another extension for the file as written.\n", shown,
           ResultName(result_ext), e.name);
  } else {
    printf("Output %s: %s cannot be written as %s; it takes %s, or another extension for the file as written.\n", shown,
           ResultName(result_ext), e.name, takes);
  }
}

// The directory of path, "." for a bare name.
void DirectoryOf(const char* path, char* dir, size_t size) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(dir, size, ".");
  } else {
    snprintf(dir, size, "%.*s", slash == path ? 1 : static_cast<int>(slash - path), path);
  }
}

// path as an absolute path, for the lines and the object.
void Absolute(const char* path, char* out, size_t size) {
  char cwd[4096];
  out[0] = '\0';
  if (path[0] == '/' || getcwd(cwd, sizeof(cwd)) == nullptr) {
    AppendFormat(out, size, "%s", path);
  } else {
    AppendFormat(out, size, "%s/%s", strcmp(cwd, "/") == 0 ? "" : cwd, path);
  }
}

// The signals that end the tool, held back while an output is written.
sigset_t g_held;
sigset_t g_before;

void HoldEndSignals() {
  sigemptyset(&g_held);
  for (int signo : kEndSignals) sigaddset(&g_held, signo);
  sigprocmask(SIG_BLOCK, &g_held, &g_before);
}

void ReleaseEndSignals() { sigprocmask(SIG_SETMASK, &g_before, nullptr); }

#if defined(__APPLE__)

// Renames from to to unless to exists; -1 with errno set.
int RenameWithoutReplacing(const char* from, const char* to) { return renamex_np(from, to, RENAME_EXCL); }

#else

int RenameWithoutReplacing(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  // A file system without it: a hard link fails as well where to exists.
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (link(from, to) != 0) return -1;
  unlink(from);
  return 0;
}

#endif

}  // namespace

bool ChooseOutputFormat(const char* path, const char* result_ext, OutputFormat* format) {
  const Extension* e = ExtensionOf(path);
  *format = kOutputAsWritten;
  if (e == nullptr) return true;
  if (!Fits(*e, result_ext)) return false;
  *format = e->format;
  return true;
}

const char* OutputFormatName(OutputFormat format) {
  switch (format) {
    case kOutputFlameGraph:
      return "flame graph";
    case kOutputFolded:
      return "folded stacks";
    case kOutputPprof:
      return "pprof";
    case kOutputAsWritten:
      break;
  }
  return "as written";
}

bool CheckOutput(const char* path, const char* result_ext, bool force) {
  char shown[8192];
  EscapeControls(path, shown, sizeof(shown));
  if (result_ext == nullptr) {
    printf("Output %s: the command writes no result file.\n", shown);
    return false;
  }
  const Extension* e = ExtensionOf(path);
  if (e != nullptr && !Fits(*e, result_ext)) {
    PrintRefusedFormat(path, *e, result_ext);
    return false;
  }
  struct stat info;
  if (lstat(path, &info) == 0) {
    if (!force) {
      PrintExists(path);
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      PrintNotRegular(path);
      return false;
    }
  } else if (errno != ENOENT) {
    PrintCannotWrite(path, errno);
    return false;
  }
  // The temporary file goes beside it.
  char dir[4096];
  DirectoryOf(path, dir, sizeof(dir));
  // Through a process's root (/proc/<pid>/root), a container's own links
  // would lead root's file wherever the container says.
  if (CrossesProcessRoot(dir)) {
    printf(
        "Output %s: quellix does not write through a process's root (/proc/<pid>/root); give a path of its own side.\n",
        shown);
    return false;
  }
  int error = 0;
  if (stat(dir, &info) == 0 && !S_ISDIR(info.st_mode)) {
    error = ENOTDIR;
  } else if (stat(dir, &info) != 0 || access(dir, W_OK | X_OK) != 0) {
    error = errno;
  }
  if (error != 0) PrintCannotWrite(path, error);
  return error == 0;
}

bool CreateOutput(const char* path, OutputFile* out) {
  memset(out, 0, sizeof(*out));
  snprintf(out->path, sizeof(out->path), "%s", path);
  char dir[4096];
  DirectoryOf(path, dir, sizeof(dir));
  const char* base = strrchr(path, '/');
  base = base == nullptr ? path : base + 1;
  // Owner-only and exclusive, as the runtime writes its results; a name
  // cut short would lose the random part.
  AppendFormat(out->temp, sizeof(out->temp), "%s/.%s.XXXXXX", dir, base);
  HoldEndSignals();
  const bool fits = StrEndsWith(out->temp, ".XXXXXX");
  int fd = fits ? mkostemp(out->temp, O_CLOEXEC) : -1;
  if (!fits) errno = ENAMETOOLONG;
  if (fd == -1) {
    PrintCannotWrite(path, errno);
    ReleaseEndSignals();
    return false;
  }
  out->file = fdopen(fd, "w");
  if (out->file == nullptr) {
    int error = errno;
    close(fd);
    unlink(out->temp);
    PrintCannotWrite(path, error);
    ReleaseEndSignals();
    return false;
  }
  return true;
}

bool OutputInterrupted() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int signo : kEndSignals) {
    if (sigismember(&pending, signo) != 1) continue;
    // Taken here (it is pending, so this does not wait), so that the run
    // ends with its message and status.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    int taken = 0;
    sigwait(&one, &taken);
    return true;
  }
  return false;
}

bool PublishOutput(OutputFile* out, bool force, OutputFormat format, const char* kept) {
  int error = 0;
  if (fflush(out->file) != 0 || ferror(out->file) != 0 || fsync(fileno(out->file)) != 0)
    error = errno != 0 ? errno : EIO;
  if (fclose(out->file) != 0 && error == 0) error = errno;
  out->file = nullptr;
  struct stat info;
  bool published = false;
  if (error != 0) {
    PrintCannotWrite(out->path, error);
  } else if (force && lstat(out->path, &info) == 0 && !S_ISREG(info.st_mode)) {
    PrintNotRegular(out->path);
  } else if ((force ? rename(out->temp, out->path) : RenameWithoutReplacing(out->temp, out->path)) != 0) {
    if (errno == EEXIST) {
      PrintExists(out->path);
    } else {
      PrintCannotWrite(out->path, errno);
    }
  } else {
    published = true;
  }
  char shown[8192], absolute[4096];
  if (!published) {
    unlink(out->temp);
    ReleaseEndSignals();
    PrintResultStays(kept);
    return false;
  }
  ReleaseEndSignals();
  Absolute(out->path, absolute, sizeof(absolute));
  EscapeControls(absolute, shown, sizeof(shown));
  long long bytes = stat(out->path, &info) == 0 ? static_cast<long long>(info.st_size) : 0;
  printf("Written: %s (%s, %lld bytes).\n", shown, OutputFormatName(format), bytes);
  if (g_report.on) {
    static char member[16384];
    member[0] = '\0';
    AppendJsonString(member, sizeof(member), "output", absolute);
    AppendJsonString(member, sizeof(member), "outputFormat", OutputFormatName(format));
    AppendFormat(member, sizeof(member), ",\"outputBytes\":%lld", bytes);
    AddReportMembers(member);
  }
  MarkNoError();
  return true;
}

void DiscardOutput(OutputFile* out, const char* kept) {
  if (out->file != nullptr) fclose(out->file);
  out->file = nullptr;
  unlink(out->temp);
  ReleaseEndSignals();
  PrintResultStays(kept);
}

void PrintResultStays(const char* kept) {
  char shown[8192];
  EscapeControls(kept, shown, sizeof(shown));
  printf("The result stays at %s.\n", shown);
}
