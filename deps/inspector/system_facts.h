// What the system says about a target, read without running anything of it.
#ifndef QUELLIX_DEPS_INSPECTOR_SYSTEM_FACTS_H_
#define QUELLIX_DEPS_INSPECTOR_SYSTEM_FACTS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The children of pid (started by any of its threads), at most max; 0 where
// they cannot be learnt.
int GetChildProcesses(int pid, int* children, int max);
// Calls visit with every process the system shows, in ascending pid order.
void ForEachProcess(void (*visit)(int pid, void* context), void* context);
// True when the running executable of pid, or a shared libnode mapped into
// it, exports node's addon entry point napi_module_register. Always false
// on macOS (no ELF files, no /proc).
bool IsNodeProcess(int pid);
// True when pid listens on its control socket path (its own
// /tmp/kestrun-uds-path-<pid inside its namespace>): the path is a socket,
// and a listening socket bound at it, or in the agent's private bind
// directory from which it was renamed into place (/proc names a socket by
// the path it was bound to), is among pid's descriptors, read from /proc
// without connecting; where the system lets the tool take a copy of that
// descriptor (pidfd_getfd), the socket itself confirms its name and that it
// listens. Always false on macOS.
bool ServesControlSocket(int pid);
// True when pid is in the tool's own user namespace (always on macOS).
bool SharesUserNamespace(int pid);
// True when the directory dir is reached through a process's root
// (/proc/<pid>/root), where the links are that process's to set.
bool CrossesProcessRoot(const char* dir);

// One TCP socket, as the target's namespace sees it (from /proc/<pid>/net/tcp
// or tcp6, or from the kernel's socket diagnostics, which also name its peer
// and owner).
struct TcpSocket {
  int family;                 // AF_INET or AF_INET6
  unsigned char address[16];  // in network byte order
  int port;
  int state;  // 10: listening
  unsigned long inode;
  unsigned char peer[16];  // the remote end, in network byte order
  int peer_port;
  unsigned long uid;  // the socket's owner
};
const int TCP_LISTENING = 10;
// Parses one line of the table (the header line is no socket); false when the
// line is not a socket.
bool ParseTcpLine(const char* line, TcpSocket* socket);
// True for 127.0.0.0/8, ::1 and ::ffff:127.0.0.0/104.
bool IsLoopbackSocket(const TcpSocket& socket);

// The listening TCP sockets of pid's network namespace (tcp and tcp6), at most
// max; -1 with errno set when the tables cannot be read.
int GetTcpListeners(int pid, TcpSocket* listeners, int max);
// The socket inodes among pid's descriptors, at most max; -1 with errno set
// when its descriptors may not be read.
int GetSocketInodes(int pid, unsigned long* inodes, int max);
// A socket (as socket() takes them) made in pid's network namespace, by a
// thread that joins it, so the calling thread stays where it is;
// close-on-exec; -1 with errno set.
int SocketInNamespace(int pid, int domain, int type, int protocol);
// A TCP socket of family made in pid's network namespace; -1 with errno set.
int TcpSocketInNamespace(int pid, int family);
// The process that holds the socket with inode among its descriptors (the
// first one found), or -1.
int FindSocketHolder(unsigned long inode);
// Fills len bytes from the kernel's random source; false when it cannot.
bool RandomBytes(unsigned char* data, size_t len);

// The first entry that begins with prefix in pid's environment, the rest of
// it written into value (cut to size); false when there is none or the
// environment cannot be read.
bool GetTargetVariable(int pid, const char* prefix, char* value, size_t size);
// The name of a user, or its number, into name (size bytes).
void UserName(uid_t uid, char* name, size_t size);
// The words of pid's command line, NUL-separated in words (len bytes);
// false when it cannot be read.
bool ReadCommandLine(int pid, char* words, size_t size, size_t* len);
// When pid started, in milliseconds since the epoch; false when it is gone
// or may not be read.
bool ProcessStartedAtMs(int pid, int64_t* ms);
// Where the result file path (pid's own view) lies as seen from the tool,
// into host (size bytes): the same path for a target in the tool's mount
// namespace, else under /proc/<pid>/root with its directory resolved there.
void HostPathOf(int pid, const char* path, char* host, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_SYSTEM_FACTS_H_
