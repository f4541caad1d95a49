// Runs one program and reports its wall time, peak resident set and exit
// status. A small process of its own, because a forked child's peak counts
// the memory of the process it was forked from: from the Python driver that
// would credit cat with 15 MiB.
//
//   bench_measure REPORT DIRECTORY STDOUT PROGRAM [ARGUMENT...]
//
// The program runs in DIRECTORY with its standard output in STDOUT; REPORT
// receives "seconds peak_kib status", status negative for a signal.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_measure REPORT DIRECTORY STDOUT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const char* report_path = argv[1];
  const char* directory = argv[2];
  const char* stdout_path = argv[3];
  int output = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) {
    std::fprintf(stderr, "open(%s): %s\n", stdout_path, std::strerror(errno));
    return 1;
  }

  double started = now();
  pid_t child = fork();
  if (child < 0) {
    std::fprintf(stderr, "fork: %s\n", std::strerror(errno));
    return 1;
  }
  if (child == 0) {
    if (chdir(directory) != 0 || dup2(output, 1) < 0) _exit(127);
    execv(argv[4], argv + 4);
    std::fprintf(stderr, "execv(%s): %s\n", argv[4], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::fprintf(stderr, "wait4: %s\n", std::strerror(errno));
    return 1;
  }
  double seconds = now() - started;
  close(output);

  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  std::FILE* report = std::fopen(report_path, "w");
  if (report == nullptr) {
    std::fprintf(stderr, "fopen(%s): %s\n", report_path, std::strerror(errno));
    return 1;
  }
  std::fprintf(report, "%.6f %ld %d\n", seconds, usage.ru_maxrss, code);
  if (std::fclose(report) != 0) {
    std::fprintf(stderr, "fclose(%s): %s\n", report_path, std::strerror(errno));
    return 1;
  }
  return 0;
}
