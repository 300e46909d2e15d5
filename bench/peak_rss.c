/* peak_rss: runs a command and prints its elapsed time and peak resident
 * memory on standard error as "peak_rss: <seconds> <kilobytes> <exit>".
 *
 * A child inherits the resident size of the process that forked it until
 * it execs, and the kernel keeps that as part of its peak; this launcher is
 * tiny, so the figure is the command's own. speed_bench.py builds it with
 * cc at run time.
 *
 * Usage: peak_rss COMMAND [ARG...]
 */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: peak_rss COMMAND [ARG...]\n");
    return 2;
  }
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) return 2;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  const double seconds = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  fprintf(stderr, "peak_rss: %.6f %ld %d\n", seconds, usage.ru_maxrss, code);
  return code;
}
