#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace platform {

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string directory_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A rename is durable only once its directory is synced. The file is already
// replaced by then, so a directory that cannot be synced is not a failure.
void sync_directory(const std::string& path) {
  int directory = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return;
  fsync(directory);
  close(directory);
}

// Owner and group first: changing them clears the set-id bits that the mode
// then restores. An owner we may not set is kept as it is.
bool copy_permissions(int file, const InputFile& input) {
  if (fchown(file, input.owner, input.group) != 0) {
    (void)!fchown(file, static_cast<uid_t>(-1), input.group);
  }
  return fchmod(file, input.mode & 07777) == 0;
}

// The rename cannot cross filesystems: copy the content into a new file in the
// target's own directory and rename that over the target.
bool replace_across_filesystems(const TempFile& temp, const InputFile& input) {
  std::string staging = directory_of(input.target) + "/quorbel.tmp-XXXXXX";
  int file = mkostemp(staging.data(), O_CLOEXEC);
  if (file < 0) return false;
  bool copied = lseek(temp.handle, 0, SEEK_SET) == 0;
  std::vector<char> buffer(1 << 16);
  while (copied) {
    int32_t count = read_input(temp.handle, buffer.data(), static_cast<int32_t>(buffer.size()));
    if (count < 0 || !write_all(file, buffer.data(), count)) copied = false;
    if (count < static_cast<int32_t>(buffer.size())) break;
  }
  copied = copied && fsync(file) == 0 && copy_permissions(file, input);
  if (close(file) != 0) copied = false;
  if (!copied || rename(staging.c_str(), input.target.c_str()) != 0) {
    unlink(staging.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool open_input(const char* name, InputFile* input) {
  // Look before opening: opening a device or FIFO can block or have effects.
  struct stat before {};
  if (stat(name, &before) != 0 || !S_ISREG(before.st_mode)) return false;
  // A file nobody may write is read-only, also for root.
  if ((before.st_mode & 0222) == 0) return false;
  char* resolved = realpath(name, nullptr);
  if (resolved == nullptr) return false;
  input->target = resolved;
  std::free(resolved);

  int file = open(input->target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) return false;
  struct stat status {};
  if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || !same_file(status, before) ||
      (status.st_mode & 0222) == 0) {
    close(file);
    return false;
  }
  input->handle = file;
  input->device = status.st_dev;
  input->inode = status.st_ino;
  input->mode = status.st_mode;
  input->owner = status.st_uid;
  input->group = status.st_gid;
  return true;
}

void close_input(InputFile* input) { close(input->handle); }

TempResult create_temp(const char* name, const InputFile& input, TempFile* temp) {
  for (;;) {
    int file = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (file < 0) return TempResult::Failed;
    struct stat status {};
    if (fstat(file, &status) != 0) {
      close(file);
      return TempResult::Failed;
    }
    if (status.st_dev == input.device && status.st_ino == input.inode) {
      close(file);
      return TempResult::NamesInput;
    }
    // Emptying anything else would destroy another file or hand its owner a
    // handle on the rewritten content.
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1 ||
        (status.st_mode & 0200) == 0) {
      close(file);
      return TempResult::Failed;
    }
    int locked;
    do {
      locked = flock(file, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    // Another run may have moved the file away while we waited for it: the
    // lock only counts if the name still leads to the locked file.
    struct stat named {};
    bool still_named = locked == 0 && lstat(name, &named) == 0 && same_file(named, status) &&
                       fstat(file, &status) == 0 && status.st_nlink == 1;
    if (!still_named) {
      close(file);
      if (locked != 0) return TempResult::Failed;
      continue;
    }
    if (ftruncate(file, 0) != 0) {
      close(file);
      return TempResult::Failed;
    }
    temp->handle = file;
    temp->name = name;
    return TempResult::Created;
  }
}

int32_t read_input(FileHandle file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    ssize_t count = read(file, buffer + filled, static_cast<size_t>(size - filled));
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (count == 0) break;
    filled += static_cast<int32_t>(count);
  }
  return filled;
}

bool write_all(FileHandle file, const char* bytes, int32_t count) {
  while (count > 0) {
    ssize_t written = write(file, bytes, static_cast<size_t>(count));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    count -= static_cast<int32_t>(written);
  }
  return true;
}

bool sync_temp(const TempFile& temp) { return fsync(temp.handle) == 0; }

bool replace_with_temp(TempFile* temp, const InputFile& input) {
  if (!copy_permissions(temp->handle, input)) return false;
  if (rename(temp->name, input.target.c_str()) == 0) {
    sync_directory(input.target);
  } else if (errno != EXDEV || !replace_across_filesystems(*temp, input)) {
    return false;
  } else {
    sync_directory(input.target);
    unlink(temp->name);
  }
  // Closing releases the lock: only now may another run take the name.
  close(temp->handle);
  return true;
}

bool same_file(const char* a, const char* b) {
  struct stat first {};
  struct stat second {};
  return stat(a, &first) == 0 && stat(b, &second) == 0 && same_file(first, second);
}

void discard_temp(TempFile* temp) {
  unlink(temp->name);
  close(temp->handle);
}

}  // namespace platform
