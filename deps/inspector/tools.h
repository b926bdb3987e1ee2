// Shared tools of quellix: string tests, option-text classifiers, the
// platform lookups, the timestamp suffix, the control socket helpers, the
// shared-memory channel and the extended control message. The lowest layer:
// it includes nothing of the project.
#ifndef QUELLIX_DEPS_INSPECTOR_TOOLS_H_
#define QUELLIX_DEPS_INSPECTOR_TOOLS_H_

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// Size of the option text buffer and of the shared segment's text: 4090
// characters and a NUL.
#define OPTION_TEXT_SIZE 4091
// Node's addon entry point, exported by every node binary and shared libnode.
#define NODE_ADDON_ENTRY "napi_module_register"

// The signals that end the tool; each wait of the tool that must not be cut
// short holds them back or handles them alike.
static const int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Milliseconds of a clock that never jumps, for deadlines.
int64_t MonotonicMs();

// --- String tests -----------------------------------------------------------

// True when needle occurs in text; an empty needle occurs everywhere.
bool StrContains(const char* text, const char* needle);
// True when text begins with prefix; false when either is null.
bool StrStartsWith(const char* text, const char* prefix);
// True when text ends with suffix; false when either is null.
bool StrEndsWith(const char* text, const char* suffix);
// Cuts a CR or LF from the last two bytes of text, in place.
void RemoveCRNL(char* text);

// Appends a formatted text at the end of the NUL-terminated text in buf,
// within size bytes; what does not fit is cut off.
void AppendFormat(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes text into out (size bytes) with every control character (below
// 0x20, and 0x7f) as "\x" and two lowercase hex digits, and each C1 control
// in UTF-8 (U+0080 to U+009F) as its two bytes so written; cut at a whole
// character. For text from outside the tool before it is printed.
void EscapeControls(const char* text, char* out, size_t size);
// Switches that escaping off (for text gathered into a JSON object, which
// escapes it its own way) or on again.
void SetControlEscaping(bool on);

// --- Option-text classifiers --------------------------------------------------

// True when the option text asks for GC tracing.
bool IsTraceGcCommand(const char* text);
// True when the option text holds "--prof ".
bool IsProfCommand(const char* text);
// True when the option text holds "--perf_basic_prof ".
bool IsBasicProfCommand(const char* text);
// True when the option text carries no "name=value" option (the first
// "time=" does not count).
bool IsOtherCommandNeedLogFile(const char* text);
// True when text is "time=" ... ending in a unit letter h, m or s.
bool IsDurationInput(const char* text);

// Appends "-<local time>.<extension>" to the path in a 1024-byte buffer;
// precision 1, 2, 4 or 8 picks day, hour, minute or second.
void AttachTimeStamp(char* path, const char* extension, unsigned char precision);

// --- Platform lookups ---------------------------------------------------------

// Fills a 1024-byte buffer with the executable path of pid; false when pid is
// not positive, the process is gone or its path may not be read (errno says
// which: EACCES when it belongs to another user).
bool GetExecPathfromPid(int pid, char* path);
// Where a target lives as seen from the tool: whether it is in another mount
// namespace, and its pid inside its own pid namespace (its own view).
struct TargetPlace {
  int pid;
  bool other_mount;
  int inner_pid;
};
// The place of pid, worked out once and kept for the next call with the same
// pid. A place that cannot be learnt is the tool's own, with inner pid = pid.
const TargetPlace& GetTargetPlace(int pid);
// Opens the running executable of pid (close-on-exec) and writes the path
// the system reports for it into path (size bytes), " (deleted)" removed
// for a replaced file; -1 with errno set (EACCES: another user's process).
int OpenRunningExecutable(int pid, char* path, size_t size);
// Executes the file open on fd (path where a system cannot execute a
// descriptor); returns only when that failed.
void ExecuteOpenFile(int fd, const char* path, char* const argv[], char* const envp[]);
// A descriptor that names the process pid itself (a pidfd), or -1 where the
// system has none; the caller closes it.
int OpenProcessHandle(int pid);
// Sends signo to the process of handle, or by pid when there is no handle or
// the system refuses the call (ENOSYS, EPERM); 0 or -1 with errno set.
int SignalProcess(int pid, int handle, int signo);
// Writes into host (size bytes) where the directory dir of pid's own view
// lies as seen from the tool, resolved within pid's root
// (/proc/<pid>/root/...); false when it cannot be resolved.
bool ResolveInTargetRoot(int pid, const char* dir, char* host, size_t size);
// Opens path as pid sees it, within its root, so that a symlink inside a
// container cannot lead out of it (flags as for open; O_CLOEXEC is added).
// root, when given, receives the root's descriptor (O_PATH). -1 with errno
// set; ENOSYS where the system cannot resolve within a root.
int OpenInRoot(int pid, const char* path, int flags, int* root = nullptr);
// Upgrades a descriptor opened with O_PATH to a readable one, only for a
// regular file; closes path_fd. -1 when it is none.
int OpenRegular(int path_fd);
// Closes every descriptor above 2 but keep (-1: none).
void CloseDescriptorsAbove2(int keep);
// Has the calling process killed when its parent ends.
void EndWithParent();
// Owner (real uid and gid) of a process; false when it cannot be learnt.
bool GetProcessOwner(int pid, uid_t* uid, gid_t* gid);
// Pid of the process listening behind a connected local socket, or -1.
int GetSocketPeerPid(int fd);
// True when pid has a handler installed for signo.
bool IsSignalCaught(int pid, int signo);
// When pid started, in the system's own unit: with the pid, what names one
// process over its whole life. False when it is gone or may not be read.
bool GetProcessStartTime(int pid, unsigned long long* start);
// A file of the process's own that no path names, close-on-exec; -1 when
// none can be made.
int OpenScratchFile();
// Reads /proc/<pid>/<name> whole (cut to size - 1 bytes, then NUL-ended);
// the bytes read, or -1 with errno set.
ssize_t ReadProcessFile(int pid, const char* name, char* buf, size_t size);

// --- Control socket helpers ---------------------------------------------------

// Writes the control socket path of pid into a 256-byte buffer: the runtime
// names it with its own pid, in its own /tmp (reached through
// /proc/<pid>/root when it is in another mount namespace).
void FormatSocketPath(char* path, size_t size, int pid);
// A local stream socket connected to path. A path longer than a local
// socket address holds is refused with a message, and when no socket can be
// made it prints "Request socket failed\n"; both return -2. A failed connect
// returns -1 for the caller to report.
int OpenSocketPath(const char* path);
// True when the process listening behind the connected socket fd is pid,
// and, when handle is a process handle (not -1), the process it names still
// lives: otherwise the pid may be another process's by now. Otherwise prints
// "Socket %s is not served by pid %d.\n" with path.
bool IsServedByTarget(int fd, const char* path, int pid, int handle);
// Waits until fd is readable or timeout_ms passed; poll's result (1, 0, -1),
// a signal interrupting the wait does not end it early.
int WaitReadable(int fd, int timeout_ms);
// Prints "%s\n\n" with a refusal's text, escaped: from byte 3 of the reply
// up to its first NUL or the end of the received bytes.
void PrintRefusal(const char* reply, ssize_t received);
// True, after printing "Runtime closed the connection without a reply.\n",
// when a first reply's recv result shows that no byte came.
bool IsClosedWithoutReply(ssize_t received);

// --- Shared-memory channel and extended control message -----------------------

// Creates the 4096-byte segment under key; true iff it was new.
bool ShareMemoryInit(int key);
// Stores value and, when text is not null, text in the segment of key.
bool ShareMemoryWrite(int value, const char* text, int key);
// Reads value and text (into OPTION_TEXT_SIZE bytes) from the segment of the
// calling process's own id.
bool ShareMemoryRead(char* text, int* value);
// Sends the 1024-byte extended message; 0 when the runtime accepted, -1
// otherwise.
int sendUdsMsg(int pid, unsigned int mask, int parameter, const char* text);
// The same exchange, silent and with parameter 0, for a question: 1 with the
// reply's text (from byte 3) in answer when the runtime replied 'Y', 0 when
// it refused ('N'), -1 when no reply came (no socket, another process behind
// it, a time-out, a closed connection, any other verdict).
int QueryRuntime(int pid, unsigned int mask, const char* text, char* answer, size_t size);
// Prints the module's version line.
void PrintVerson(const void* pointer);

#endif  // QUELLIX_DEPS_INSPECTOR_TOOLS_H_
