// Shared pieces of the fuzz targets: splitting an input into texts, quieting
// the tool's output, and a stand-in runtime served from a thread of the fuzz
// process itself, so that the kernel names the fuzz process as the listener.
#ifndef QUELLIX_FUZZ_FUZZ_SUPPORT_H_
#define QUELLIX_FUZZ_FUZZ_SUPPORT_H_

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

namespace qfuzz {

// The tool prints to stdout on every path; the fuzzer's own reports go to
// stderr, so stdout goes to /dev/null.
inline void QuietStdout() {
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
}

// Splits the input at its NUL bytes; an input ending without a NUL still gives
// its last piece.
inline std::vector<std::string> SplitAtNul(const uint8_t* data, size_t size) {
  std::vector<std::string> pieces;
  std::string piece;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(static_cast<char>(data[i]));
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

// What the served connection does: reads one message of message_size bytes,
// sends first; when kick_reply is set, waits for the kick and sends second.
// An empty reply closes the connection instead, so that the tool never sits
// out its one-second wait (the silent runtime is covered by the tests).
struct Script {
  size_t message_size = 512;
  std::string first;
  std::string second;
  bool kick_reply = true;
};

// An accepting first reply that says the second follows without a kick:
// "NK" in bytes 1-2, then the words.
inline bool HasNoKickMark(const std::string& reply) {
  return !reply.empty() && reply[0] != 'N' && reply.compare(1, 16, "NKno kick needed") == 0;
}

inline std::atomic<int> g_kicks{0};
inline void OnKick(int) { g_kicks++; }

class ReplyServer {
 public:
  // Listens on the control socket path of the fuzz process and installs the
  // kick handler, as a runtime does.
  ReplyServer() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnKick;
    sigaction(SIGUSR2, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    snprintf(path_, sizeof(path_), "/tmp/kestrun-uds-path-%d", static_cast<int>(getpid()));
    unlink(path_);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path_);
    if (listen_fd_ == -1 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listen_fd_, 4) != 0) {
      perror("fuzz reply server");
      abort();
    }
    atexit(RemoveSocket);
  }

  // Serves one connection by script in a thread while client runs in the
  // calling thread; returns client's result.
  template <typename Client>
  int Run(const Script& script, Client client) {
    script_ = &script;
    done_ = false;
    // Slow until the first reply went out in time: a connection the tool
    // gave up on before it was served proves nothing either.
    slow_ = true;
    started_ = NowMs();
    pthread_t thread;
    pthread_create(&thread, nullptr, Serve, this);
    int result = client();
    done_ = true;
    pthread_join(thread, nullptr);
    return result;
  }

  // True when the last connection was answered so late (the machine being
  // busy) that the tool may have given up waiting: its result then proves
  // nothing.
  bool WasSlow() const { return slow_; }

  static ReplyServer& Get() {
    static ReplyServer server;
    return server;
  }

 private:
  static void RemoveSocket() {
    char path[108];
    snprintf(path, sizeof(path), "/tmp/kestrun-uds-path-%d", static_cast<int>(getpid()));
    unlink(path);
  }

  // Waits for fd to become readable, or for the client to finish; false on
  // the latter.
  bool WaitFor(int fd) {
    while (!done_) {
      struct pollfd entry = {fd, POLLIN, 0};
      if (poll(&entry, 1, 1) > 0) return true;
    }
    return false;
  }

  static void* Serve(void* self) {
    ReplyServer* server = static_cast<ReplyServer*>(self);
    server->ServeOne();
    server->HangUpOthers();
    return nullptr;
  }

  // A connection after the scripted one (the tool asking again) is hung up
  // on, and so is one still queued when the client is done: left in the
  // queue, it would take the next input's script while that input's own
  // connection went unanswered.
  void HangUpOthers() {
    while (WaitFor(listen_fd_)) CloseOne();
    struct pollfd entry = {listen_fd_, POLLIN, 0};
    while (poll(&entry, 1, 0) > 0) CloseOne();
  }

  void CloseOne() {
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd != -1) close(fd);
  }

  void ServeOne() {
    if (!WaitFor(listen_fd_)) return;
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd == -1) return;
    std::vector<char> message(script_->message_size);
    size_t got = 0;
    while (got < message.size() && WaitFor(fd)) {
      ssize_t n = recv(fd, message.data() + got, message.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    int kicks_before = g_kicks;
    if (!script_->first.empty()) send(fd, script_->first.data(), script_->first.size(), MSG_NOSIGNAL);
    // The tool's wait for the reply began when it sent its message, which
    // may have been queued before the accept: time from the client's start.
    slow_ = NowMs() - started_ > kSlowMs;
    if (!script_->first.empty() && script_->kick_reply && HasNoKickMark(script_->first)) {
      // A runtime that needs no kick sends its second reply by itself, a
      // moment later, as a reply of its own.
      usleep(2000);
      if (!script_->second.empty()) send(fd, script_->second.data(), script_->second.size(), MSG_NOSIGNAL);
    } else if (!script_->first.empty() && script_->kick_reply) {
      // The tool either kicks or hangs up; a hang-up makes fd readable.
      while (!done_ && g_kicks == kicks_before) {
        struct pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, 1) > 0) break;
      }
      if (g_kicks != kicks_before && !script_->second.empty()) {
        send(fd, script_->second.data(), script_->second.size(), MSG_NOSIGNAL);
      }
    }
    close(fd);
  }

  static long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
  }

  // Well below the tool's one-second wait for a reply.
  static const long long kSlowMs = 300;
  char path_[108];
  int listen_fd_ = -1;
  std::atomic<bool> slow_{true};
  long long started_ = 0;
  const Script* script_ = nullptr;
  std::atomic<bool> done_{false};
};

}  // namespace qfuzz

#endif  // QUELLIX_FUZZ_FUZZ_SUPPORT_H_
