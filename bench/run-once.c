/* Runs one command without a shell and prints "<wall ms> <exit status>
 * <peak RSS KiB>" for it. A small C program, so that what the kernel counts
 * for the child before its exec (the spawner's own pages) stays small.
 *
 *   run-once [--read] program args...
 * --read: the child's standard output is a pipe read to its end (as quellix
 * reads its probe); otherwise it is /dev/null, like its input and errors. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
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

int main(int argc, char** argv) {
  int first = 1, read_output = 0;
  if (argc > 1 && strcmp(argv[1], "--read") == 0) read_output = 1, first = 2;
  if (argc <= first) {
    fprintf(stderr, "usage: run-once [--read] program args...\n");
    return 2;
  }
  int null_fd = open("/dev/null", O_RDWR);
  int fds[2] = {-1, -1};
  if (null_fd == -1 || (read_output && pipe(fds) != 0)) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, read_output ? fds[1] : null_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 2);
  double start = NowMs();
  pid_t pid;
  if (posix_spawn(&pid, argv[first], &actions, NULL, argv + first, environ) != 0) return 2;
  if (read_output) {
    char buf[4096];
    close(fds[1]);
    while (read(fds[0], buf, sizeof(buf)) > 0) {
    }
  }
  int status;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return 2;
  double elapsed = NowMs() - start;
  printf("%.3f %d %ld\n", elapsed, WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss);
  return 0;
}
