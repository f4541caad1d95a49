// Copies each named file to a new file beside it, NAME.copy, and syncs the
// copy: the floor of rewriting many small files durably, for bench/.
//
//   bench_copy_sync FILE...

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  char block[1 << 16];
  for (int i = 1; i < argc; ++i) {
    std::string copy = std::string(argv[i]) + ".copy";
    int input = open(argv[i], O_RDONLY | O_CLOEXEC);
    int output = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ssize_t count = 0;
    bool written = input >= 0 && output >= 0;
    while (written && (count = read(input, block, sizeof block)) > 0)
      written = write(output, block, static_cast<size_t>(count)) == count;
    if (!written || count < 0 || fsync(output) != 0 || close(output) != 0 || close(input) != 0) {
      std::perror(argv[i]);
      return 1;
    }
  }
  return 0;
}
