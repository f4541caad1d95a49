#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/files.h"

namespace platform {

namespace {

int fd(Handle handle) { return static_cast<int>(handle); }

FileStatus status_from(const struct stat& status) {
  FileKind kind = S_ISREG(status.st_mode)   ? FileKind::Regular
                  : S_ISDIR(status.st_mode) ? FileKind::Directory
                                            : FileKind::Other;
  return FileStatus{{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)},
                    kind,
                    (status.st_mode & 0222) != 0,
                    static_cast<int64_t>(status.st_size),
                    static_cast<int64_t>(status.st_ctim.tv_sec) * 1'000'000'000 + status.st_ctim.tv_nsec};
}

// Opened without following a link or waiting on a device or FIFO.
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The names of a file's extended attributes that this user can see, access
// control lists included.
bool attribute_names(int file, std::vector<std::string>* names) {
  std::vector<char> list;
  for (;;) {
    ssize_t size = flistxattr(file, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;  // a file system without them: none
    list.resize(static_cast<std::size_t>(size));
    size = flistxattr(file, list.data(), list.size());
    if (size >= 0) {
      list.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return false;  // grew meanwhile: ask again
  }
  for (std::size_t at = 0; at < list.size(); at += std::strlen(&list[at]) + 1) names->emplace_back(&list[at]);
  return true;
}

bool attribute(int file, const std::string& name, std::vector<char>* value) {
  ssize_t size = fgetxattr(file, name.c_str(), nullptr, 0);
  if (size < 0) return false;
  value->resize(static_cast<std::size_t>(size));
  size = fgetxattr(file, name.c_str(), value->data(), value->size());
  value->resize(static_cast<std::size_t>(std::max<ssize_t>(size, 0)));
  return size >= 0;
}

// Gives `to` exactly the extended attributes of `from`: none that a
// directory's default list gave it, every one of `from` that it lacks or
// holds otherwise.
bool copy_attributes(int from, int to) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!attribute_names(from, &wanted) || !attribute_names(to, &present)) return false;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() && fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  std::vector<char> value;
  std::vector<char> given;
  for (const std::string& name : wanted) {
    if (!attribute(from, name, &value)) return false;
    if (attribute(to, name, &given) && given == value) continue;  // e.g. a security label the system set alike
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  return true;
}

// On a file system that ignores letter case (exFAT, FAT), the spelling the
// directory holds for `base`, which a rename to `base` would otherwise
// change. (Through FUSE each spelling may show an inode number of its own.)
void stored_spelling(int directory, std::string* base) {
  std::string swapped = *base;
  for (char& c : swapped) c = static_cast<char>(std::isupper(c) != 0 ? std::tolower(c) : std::toupper(c));
  struct stat found {};
  if (swapped == *base || fstatat(directory, swapped.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return;
  int copy = dup(directory);  // the directory stream owns and closes it
  DIR* entries = copy < 0 ? nullptr : fdopendir(copy);
  if (entries == nullptr) {
    if (copy >= 0) (void)close(copy);
    return;
  }
  std::string stored;
  while (const dirent* entry = readdir(entries)) {
    if (*base == entry->d_name) {
      stored.clear();  // spelt as given: a file system that tells letter case apart
      break;
    }
    if (strcasecmp(entry->d_name, base->c_str()) == 0) stored = entry->d_name;
  }
  (void)closedir(entries);
  if (!stored.empty()) *base = stored;
}

class PosixFiles final : public FileSystem {
 public:
  Handle open_directory_of(const std::string& name, std::string* base) override {
    char* resolved = realpath(name.c_str(), nullptr);
    if (resolved == nullptr) return kNoHandle;
    std::string path = resolved;
    std::free(resolved);
    std::string::size_type slash = path.rfind('/');
    *base = path.substr(slash + 1);
    int directory = open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) stored_spelling(directory, base);
    return directory;
  }

  bool look(Handle directory, const std::string& base, FileStatus* status) override {
    struct stat found {};
    if (fstatat(fd(directory), base.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return false;
    *status = status_from(found);
    return true;
  }

  bool status_of(Handle file, FileStatus* status) override {
    struct stat found {};
    if (fstat(fd(file), &found) != 0) return false;
    *status = status_from(found);
    return true;
  }

  bool holds_files_safely(Handle directory) override {
    struct stat status {};
    return fstat(fd(directory), &status) == 0 && faccessat(fd(directory), ".", W_OK | X_OK, AT_EACCESS) == 0 &&
           ((status.st_mode & S_IWOTH) == 0 || (status.st_mode & S_ISVTX) != 0);
  }

  Lock try_lock(Handle directory, const std::string& base, const FileId& id, Handle* lock) override {
    int file = openat(fd(directory), base.c_str(), O_RDWR | kOpenFlags);
    if (file < 0) return Lock::Failed;
    FileStatus status{};
    if (!status_of(file, &status) || status.id != id) {
      (void)::close(file);
      return Lock::Busy;
    }
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      (void)::close(file);
      return error == EWOULDBLOCK || error == EINTR ? Lock::Busy : Lock::Failed;
    }
    *lock = file;
    return Lock::Taken;
  }

  // The lock's own descriptor, opened to read and write: closing the copy
  // leaves the lock held.
  Opened open_file(Handle, const std::string&, Handle lock, Handle* file) override {
    *file = fcntl(fd(lock), F_DUPFD_CLOEXEC, 0);
    return *file < 0 ? Opened::Failed : Opened::Yes;
  }

  Created create_exclusive(Handle directory, const std::string& name, Handle, Handle* file) override {
    *file = openat(fd(directory), name.c_str(), O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0600);
    if (*file >= 0) return Created::Yes;
    return errno == EEXIST ? Created::NameTaken : Created::Failed;
  }

  Handle open_rule_file(const std::string& path, int* error) override {
    int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status {};
    if (file >= 0 && (fstat(file, &status) != 0 || !S_ISREG(status.st_mode))) {
      errno = S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;  // it must be read twice
      (void)::close(file);
      file = -1;
    }
    if (file < 0) *error = errno;
    return file;
  }

  int32_t read(Handle file, char* buffer, int32_t size) override {
    ssize_t count = 0;
    while ((count = ::read(fd(file), buffer, static_cast<std::size_t>(size))) < 0 && errno == EINTR) {
    }
    return static_cast<int32_t>(count);
  }

  bool rewind(Handle file) override { return lseek(fd(file), 0, SEEK_SET) == 0; }

  int32_t write(Handle file, const char* bytes, int32_t count) override {
    ssize_t written = 0;
    while ((written = ::write(fd(file), bytes, static_cast<std::size_t>(count))) < 0 && errno == EINTR) {
    }
    return static_cast<int32_t>(written);
  }

  bool copy_start(Handle from, Handle to, int64_t count) override {
    // In the kernel, which may share the blocks rather than copy them; at
    // offsets, so that the read position stays.
    off_t offset = 0;
    while (offset < count) {
      ssize_t copied = copy_file_range(fd(from), &offset, fd(to), nullptr, static_cast<std::size_t>(count - offset), 0);
      if (copied > 0) continue;
      if (copied == 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)) return false;
      std::vector<char> buffer(1 << 16);  // not between these two files: by hand
      while (offset < count) {
        auto want = static_cast<std::size_t>(std::min<int64_t>(count - offset, static_cast<int64_t>(buffer.size())));
        ssize_t got = pread(fd(from), buffer.data(), want, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || !write_fully(*this, to, buffer.data(), static_cast<int32_t>(got))) return false;
        offset += got;
      }
    }
    return true;
  }

  bool flush(Handle file) override { return fsync(fd(file)) == 0; }

  // Owner and group first: changing them clears the set-id bits and file
  // capabilities, which the attributes and the mode then restore. The result
  // is checked, since the system may quietly drop a set-id bit.
  Access copy_access(Handle from, Handle to) override {
    struct stat wanted {};
    struct stat given {};
    bool copied = fstat(fd(from), &wanted) == 0 && fchown(fd(to), wanted.st_uid, wanted.st_gid) == 0 &&
                  copy_attributes(fd(from), fd(to)) && fchmod(fd(to), wanted.st_mode & 07777) == 0 &&
                  fstat(fd(to), &given) == 0 && given.st_uid == wanted.st_uid && given.st_gid == wanted.st_gid &&
                  (given.st_mode & 07777) == (wanted.st_mode & 07777);
    return copied ? Access::Copied : Access::NotCarried;
  }

  Opened move_over(Handle directory, Handle, const std::string& temp_name, const std::string& base) override {
    return renameat(fd(directory), temp_name.c_str(), fd(directory), base.c_str()) == 0 ? Opened::Yes : Opened::Failed;
  }

  void remove(Handle directory, Handle file, const std::string& name) override {
    FileStatus named{};
    FileStatus opened{};
    if (look(directory, name, &named) && status_of(file, &opened) && named.id == opened.id) {
      (void)unlinkat(fd(directory), name.c_str(), 0);
    }
  }

  bool sync_directory(Handle directory) override { return fsync(fd(directory)) == 0; }

  void close(Handle handle) override { (void)::close(fd(handle)); }  // releases a lock with it

  void sleep_ms(int milliseconds) override {
    timespec pause{milliseconds / 1000, milliseconds % 1000 * 1'000'000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }

  int64_t wall_clock_ns() override {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  }

  uint64_t random() override {
    uint64_t number = 0;
    if (getrandom(&number, sizeof number, 0) == static_cast<ssize_t>(sizeof number)) return number;
    // A kernel without the call: names are still created exclusively.
    return static_cast<uint64_t>(wall_clock_ns()) ^ static_cast<uint64_t>(getpid()) << 40;
  }
};

}  // namespace

FileSystem& system_files() {
  static PosixFiles files;
  return files;
}

}  // namespace platform
