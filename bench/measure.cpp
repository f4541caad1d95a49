// Runs one program and reports its wall time, peak resident set and exit
// status. A process of its own, because a forked child's peak counts the
// memory of the process it was forked from: from Python, 15 MiB for cat.
//
//   bench_measure REPORT DIRECTORY STDOUT PROGRAM [ARGUMENT...]
//
// The program runs in DIRECTORY with its standard output in STDOUT; REPORT
// receives "seconds peak_kib status", status negative for a signal.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_measure REPORT DIRECTORY STDOUT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  int output = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  auto started = std::chrono::steady_clock::now();
  pid_t child = output < 0 ? -1 : fork();
  if (child == 0) {
    if (chdir(argv[2]) == 0 && dup2(output, 1) >= 0) execv(argv[4], argv + 4);
    std::perror(argv[4]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || wait4(child, &status, 0, &usage) < 0) {
    std::perror("bench_measure");
    return 1;
  }
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
  std::FILE* report = std::fopen(argv[1], "w");
  if (report == nullptr ||
      std::fprintf(report, "%.6f %ld %d\n", seconds.count(), usage.ru_maxrss,
                   WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status)) < 0 ||
      std::fclose(report) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
