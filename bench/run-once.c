/* Runs one command without a shell and prints "<wall ms> <exit status>
 * <peak RSS KiB>" for it. A small C program, so that what the kernel counts
 * for the child before its exec (the spawner's own pages) stays small.
 *
 *   run-once [--read | --own-rss] program args...
 * --read: the child's standard output is a pipe read to its end (as quellix
 * reads its probe); otherwise it is /dev/null, like its input and errors.
 * --own-rss: the peak RSS is the program's own, read from its VmHWM as it
 * exits (it runs traced, so its time is not meaningful); without it the peak
 * is the kernel's figure for the program and every child it reaped. */
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static double NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

/* VmHWM of a process that still has its memory, in KiB; -1 if unknown. */
static long PeakOf(pid_t pid) {
  char path[64], line[256];
  long peak = -1;
  snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
  FILE* file = fopen(path, "r");
  if (file == NULL) return -1;
  while (fgets(line, sizeof(line), file) != NULL) {
    if (sscanf(line, "VmHWM: %ld", &peak) == 1) break;
  }
  fclose(file);
  return peak;
}

/* Runs argv traced and stops it once more as it exits, before its memory is
 * gone; stores its own peak. Returns the wait status. */
static int RunTraced(char** argv, int null_fd, long* peak) {
  pid_t pid = fork();
  if (pid == -1) exit(2);
  if (pid == 0) {
    for (int fd = 0; fd <= 2; fd++) dup2(null_fd, fd);
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) _exit(127);
    execv(argv[0], argv);
    _exit(127);
  }
  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) exit(2); /* the exec's stop */
  ptrace(PTRACE_SETOPTIONS, pid, NULL, (void*)(long)PTRACE_O_TRACEEXIT);
  ptrace(PTRACE_CONT, pid, NULL, NULL);
  for (;;) {
    if (waitpid(pid, &status, 0) != pid) exit(2);
    if (!WIFSTOPPED(status)) return status;
    int signo = 0;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      *peak = PeakOf(pid);
    } else {
      signo = WSTOPSIG(status); /* a signal for the program: deliver it */
    }
    ptrace(PTRACE_CONT, pid, NULL, (void*)(long)signo);
  }
}

int main(int argc, char** argv) {
  int first = 1, read_output = 0, own_rss = 0;
  if (argc > 1 && strcmp(argv[1], "--read") == 0) read_output = 1, first = 2;
  if (argc > 1 && strcmp(argv[1], "--own-rss") == 0) own_rss = 1, first = 2;
  if (argc <= first) {
    fprintf(stderr, "usage: run-once [--read | --own-rss] program args...\n");
    return 2;
  }
  int null_fd = open("/dev/null", O_RDWR);
  int fds[2] = {-1, -1};
  if (null_fd == -1 || (read_output && pipe(fds) != 0)) return 2;
  double start = NowMs();
  int status;
  long peak = -1;
  if (own_rss) {
    status = RunTraced(argv + first, null_fd, &peak);
  } else {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, null_fd, 0);
    posix_spawn_file_actions_adddup2(&actions, read_output ? fds[1] : null_fd, 1);
    posix_spawn_file_actions_adddup2(&actions, null_fd, 2);
    pid_t pid;
    if (posix_spawn(&pid, argv[first], &actions, NULL, argv + first, environ) != 0) return 2;
    if (read_output) {
      char buf[4096];
      close(fds[1]);
      while (read(fds[0], buf, sizeof(buf)) > 0) {
      }
    }
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 2;
    peak = usage.ru_maxrss;
  }
  double elapsed = NowMs() - start;
  printf("%.3f %d %ld\n", elapsed, WIFEXITED(status) ? WEXITSTATUS(status) : -1, peak);
  return 0;
}
