#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform {

struct RuleFile {
  int handle;
  struct stat opened;
};

struct NamedFile {
  int handle;
  // The directory held open: names are found in it even when a directory on
  // the path to it is moved or swapped for a link meanwhile.
  int directory;
  std::string directory_path;
  std::string name;  // within the directory
  struct stat status;
};

struct TempFile {
  int handle;
  int directory;  // the named file's, which outlives its temporary file
  std::string name;
  struct stat status;
};

namespace {

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `name` in `directory` is the file `status` describes, itself and
// not a link to it.
bool names_file(int directory, const char* name, const struct stat& status) {
  struct stat found {};
  return fstatat(directory, name, &found, AT_SYMLINK_NOFOLLOW) == 0 && same_file(found, status);
}

bool is_writable_file(const struct stat& status) { return S_ISREG(status.st_mode) && (status.st_mode & 0222) != 0; }

// The directory a name's file lies in and its name there, links resolved.
bool resolve(const char* name, std::string* directory, std::string* base) {
  char* resolved = realpath(name, nullptr);
  if (resolved == nullptr) return false;
  std::string path = resolved;
  std::free(resolved);
  std::string::size_type slash = path.rfind('/');
  *directory = slash == 0 ? "/" : path.substr(0, slash);
  *base = path.substr(slash + 1);
  return true;
}

void pause_briefly() {
  // Long enough not to spin, short enough not to keep a waiting run idle.
  constexpr long kPollNanoseconds = 10'000'000;
  timespec pause{0, kPollNanoseconds};
  (void)nanosleep(&pause, nullptr);
}

long elapsed_milliseconds(const timespec& since) {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
}

// Takes the exclusive lock on `file` within `patience_ms` milliseconds
// (negative: as long as it takes).
Wait take_lock(int file, int patience_ms) {
  if (patience_ms < 0) {
    while (flock(file, LOCK_EX) != 0) {
      if (errno != EINTR) return Wait::Failed;
    }
    return Wait::Done;
  }
  timespec started{};
  (void)clock_gettime(CLOCK_MONOTONIC, &started);
  for (;;) {
    if (flock(file, LOCK_EX | LOCK_NB) == 0) return Wait::Done;
    if (errno != EWOULDBLOCK && errno != EINTR) return Wait::Failed;
    if (elapsed_milliseconds(started) >= patience_ms) return Wait::StillBusy;
    pause_briefly();
  }
}

enum class Existing { Gone, Busy, Refused };

// An existing temporary file that no run holds any more is stale: removed
// once it is locked and still under its name. Only a plain file with one
// name that its owner may write is taken for a leftover; anything else was
// put there. Our own runs are waited for; a file of another user is a
// leftover of a run that gave it its target's owner, or was put there: a
// holder that keeps it locked is not waited for.
Existing remove_stale(int directory, const char* name, int patience_ms) {
  int file = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? Existing::Gone : Existing::Refused;
  struct stat status {};
  Existing result = Existing::Refused;
  if (fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 && (status.st_mode & S_IWUSR) != 0) {
    switch (take_lock(file, status.st_uid == geteuid() ? patience_ms : 0)) {
      case Wait::Done:
        result = !names_file(directory, name, status) || unlinkat(directory, name, 0) == 0 ? Existing::Gone
                                                                                           : Existing::Refused;
        break;
      case Wait::StillBusy:
        result = status.st_uid == geteuid() ? Existing::Busy : Existing::Refused;
        break;
      case Wait::Failed:
        break;
    }
  }
  (void)close(file);
  return result;
}

int32_t read_all(int file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    ssize_t count = ::read(file, buffer + filled, static_cast<size_t>(size - filled));
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (count == 0) break;
    filled += static_cast<int32_t>(count);
  }
  return filled;
}

bool write_all(int file, const char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t written = ::write(file, bytes, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

// The names of a file's extended attributes, access control lists included.
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

// Attributes of the security namespaces only root may set; this user may
// leave them off where the file had them, since they grant no access.
bool only_root_sets(const std::string& name) {
  return geteuid() != 0 && (name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0);
}

// Gives `temp` exactly the extended attributes of `file`: the access control
// list first of all, which a directory's default list may have given it.
bool copy_attributes(int file, int temp) {
  std::vector<std::string> wanted;
  std::vector<std::string> inherited;
  if (!attribute_names(file, &wanted) || !attribute_names(temp, &inherited)) return false;
  for (const std::string& name : inherited) {
    bool kept = false;
    for (const std::string& other : wanted) kept = kept || other == name;
    if (!kept && fremovexattr(temp, name.c_str()) != 0 && name == "system.posix_acl_access") return false;
  }
  std::vector<char> value;
  for (const std::string& name : wanted) {
    ssize_t size = fgetxattr(file, name.c_str(), nullptr, 0);
    if (size >= 0) {
      value.resize(static_cast<std::size_t>(size));
      size = fgetxattr(file, name.c_str(), value.data(), value.size());
    }
    if ((size < 0 || fsetxattr(temp, name.c_str(), value.data(), static_cast<std::size_t>(size), 0) != 0) &&
        !only_root_sets(name)) {
      return false;
    }
  }
  return true;
}

// Owner and group first: changing them clears the set-id bits and file
// capabilities, which the attributes and the mode then restore. The result is
// checked, since the system may quietly drop a set-id bit.
bool copy_access(const NamedFile& file, int temp) {
  const struct stat& wanted = file.status;
  struct stat given {};
  return fchown(temp, wanted.st_uid, wanted.st_gid) == 0 && copy_attributes(file.handle, temp) &&
         fchmod(temp, wanted.st_mode & 07777) == 0 && fstat(temp, &given) == 0 && given.st_uid == wanted.st_uid &&
         given.st_gid == wanted.st_gid && (given.st_mode & 07777) == (wanted.st_mode & 07777);
}

// Directories that received a file and are synced together before the run
// ends, each once. A bound keeps the descriptors few when many directories
// take part.
struct PendingDirectory {
  int handle;
  struct stat status;
};
std::vector<PendingDirectory> pending_directories;
constexpr std::size_t kMaxPendingDirectories = 64;

void remember_directory(int directory) {
  struct stat status {};
  if (fstat(directory, &status) != 0) return;
  auto same = [&status](const PendingDirectory& pending) { return same_file(pending.status, status); };
  if (std::any_of(pending_directories.begin(), pending_directories.end(), same)) return;
  if (pending_directories.size() == kMaxPendingDirectories) sync_directories();
  int handle = fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (handle >= 0) pending_directories.push_back({handle, status});
}

}  // namespace

void Close::operator()(RuleFile* file) const {
  (void)close(file->handle);  // read only: closing cannot lose data
  delete file;
}

void Close::operator()(NamedFile* file) const {
  // Closing the file releases the lock: another run may take it now.
  if (file->handle >= 0) (void)close(file->handle);
  (void)close(file->directory);
  delete file;
}

void Close::operator()(TempFile* file) const {
  // Removed while locked, so the name cannot meanwhile be another run's; a
  // file moved into place is no longer under it.
  if (names_file(file->directory, file->name.c_str(), file->status)) {
    (void)unlinkat(file->directory, file->name.c_str(), 0);
  }
  (void)close(file->handle);
  delete file;
}

RuleFilePtr open_rule_file(const char* path, int* error) {
  // Opened without waiting, so that a FIFO cannot block the run.
  int handle = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (handle < 0) {
    *error = errno;
    return nullptr;
  }
  RuleFilePtr file(new RuleFile{handle, {}});
  if (fstat(handle, &file->opened) != 0 || !S_ISREG(file->opened.st_mode)) {
    *error = S_ISDIR(file->opened.st_mode) ? EISDIR : ESPIPE;  // it must be read twice
    return nullptr;
  }
  return file;
}

bool unchanged_since_open(const RuleFile& file, int settle_ms) {
  const struct stat& then = file.opened;
  auto same = [&then](const struct stat& now) {
    return now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == then.st_mtim.tv_nsec && now.st_ctim.tv_sec == then.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
  };
  struct stat now {};
  if (fstat(file.handle, &now) != 0 || !same(now)) return false;
  timespec clock{};
  (void)clock_gettime(CLOCK_REALTIME, &clock);
  long long since_change =
      (clock.tv_sec - then.st_ctim.tv_sec) * 1000LL + (clock.tv_nsec - then.st_ctim.tv_nsec) / 1000000;
  if (since_change >= settle_ms) return true;
  // A clock set back makes this negative: wait no longer than the settle time.
  long long wait = settle_ms - std::max(since_change, 0LL);
  timespec pause{static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000 * 1000000)};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
  return fstat(file.handle, &now) == 0 && same(now);
}

NamedFilePtr open_named_file(const char* name) {
  // Another run may put a new file in the name's place between the look and
  // the open: then both are tried again. A path that keeps leading somewhere
  // else than where the look went (a directory swapped for a link) is refused.
  constexpr int kAttempts = 16;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // Look before opening: opening a device or FIFO can block or have effects.
    // A file nobody may write is read-only, also for root.
    struct stat before {};
    if (stat(name, &before) != 0 || !is_writable_file(before)) return nullptr;
    NamedFilePtr file(new NamedFile{-1, -1, {}, {}, {}});
    if (!resolve(name, &file->directory_path, &file->name)) return nullptr;
    file->directory = open(file->directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->directory < 0) return nullptr;
    // Relative to the directory and without following a link: a path swapped
    // since it was resolved leads nowhere else.
    file->handle = openat(file->directory, file->name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file->handle < 0 || fstat(file->handle, &file->status) != 0 || !is_writable_file(file->status)) {
      return nullptr;
    }
    if (same_file(file->status, before)) return file;
  }
  return nullptr;
}

const std::string& directory_of(const NamedFile& file) { return file.directory_path; }

bool names_temp_file(const char* name, const char* temp_name, std::string* directory) {
  // A name that is no link keeps its last part when resolved: only a link,
  // "." or ".." there needs the whole path resolved, once per name of the run.
  std::string given = name;
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  std::string last = given.substr(given.rfind('/') + 1);
  struct stat status {};
  if (lstat(name, &status) != 0) return false;
  if (!S_ISLNK(status.st_mode) && last != "." && last != ".." && last != temp_name) return false;
  std::string base;
  return resolve(name, directory, &base) && base == temp_name;
}

bool may_hold_temp(const NamedFile& file, const char* temp_name) {
  struct stat directory {};
  struct stat existing {};
  if (fstat(file.directory, &directory) != 0 || faccessat(file.directory, ".", W_OK | X_OK, 0) != 0) return false;
  if ((directory.st_mode & S_IWOTH) != 0 && (directory.st_mode & S_ISVTX) == 0) return false;
  if (fstatat(file.directory, temp_name, &existing, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  return S_ISREG(existing.st_mode) && existing.st_nlink == 1 && (existing.st_mode & S_IWUSR) != 0;
}

std::string temp_path(const NamedFile& file, const char* temp_name) {
  return file.directory_path + (file.directory_path == "/" ? "" : "/") + temp_name;
}

Wait lock(NamedFile& file, int patience_ms) {
  for (;;) {
    Wait taken = take_lock(file.handle, patience_ms);
    if (taken != Wait::Done || names_file(file.directory, file.name.c_str(), file.status)) return taken;
    // Another run put a new file in its place meanwhile: that one is corrected.
    (void)close(file.handle);
    file.handle = openat(file.directory, file.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file.handle < 0 || fstat(file.handle, &file.status) != 0 || !is_writable_file(file.status)) {
      return Wait::Failed;
    }
  }
}

Wait create_temp(const NamedFile& file, const char* temp_name, int patience_ms, TempFilePtr* temp) {
  for (;;) {
    // New every time, and this user's alone until it is complete: no
    // descriptor that someone kept on an earlier file sees a byte of it.
    int handle = openat(file.directory, temp_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (handle < 0) {
      if (errno != EEXIST) return Wait::Failed;
      switch (remove_stale(file.directory, temp_name, patience_ms)) {
        case Existing::Gone:
          continue;
        case Existing::Busy:
          return Wait::StillBusy;
        case Existing::Refused:
          return Wait::Failed;
      }
    }
    TempFilePtr created(new TempFile{handle, file.directory, temp_name, {}});
    // Another run may take it for stale before it is locked: the lock counts
    // only while the name still leads to the file.
    if (take_lock(handle, -1) != Wait::Done || fstat(handle, &created->status) != 0) return Wait::Failed;
    if (names_file(file.directory, temp_name, created->status)) {
      *temp = std::move(created);
      return Wait::Done;
    }
    created->name.clear();  // not ours to remove
  }
}

// Reading moves the file's position: not a const operation, whatever the handle's type.
// cppcheck-suppress constParameter
int32_t read(RuleFile& file, char* buffer, int32_t size) { return read_all(file.handle, buffer, size); }
// cppcheck-suppress constParameter
int32_t read(NamedFile& file, char* buffer, int32_t size) { return read_all(file.handle, buffer, size); }
bool rewind(RuleFile& file) { return lseek(file.handle, 0, SEEK_SET) == 0; }
bool rewind(NamedFile& file) { return lseek(file.handle, 0, SEEK_SET) == 0; }

bool copy_start(NamedFile& file, TempFile& temp, int64_t count) {
  // In the kernel where it can, which may share the blocks rather than copy
  // them; at offsets, so the named file's read position stays.
  off_t offset = 0;
  while (offset < count) {
    ssize_t copied =
        copy_file_range(file.handle, &offset, temp.handle, nullptr, static_cast<std::size_t>(count - offset), 0);
    if (copied > 0) continue;
    if (copied == 0 || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)) return false;
    // Not between these two files: by hand.
    std::vector<char> buffer(1 << 16);
    while (offset < count) {
      auto want = static_cast<std::size_t>(std::min<int64_t>(count - offset, static_cast<int64_t>(buffer.size())));
      ssize_t got = pread(file.handle, buffer.data(), want, offset);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) continue;
        return false;
      }
      if (!write_all(temp.handle, buffer.data(), static_cast<std::size_t>(got))) return false;
      offset += got;
    }
  }
  return true;
}

bool write(TempFile& temp, const char* bytes, int32_t count) {
  return write_all(temp.handle, bytes, static_cast<std::size_t>(count));
}

Replaced replace(NamedFile& file, TempFilePtr temp) {
  if (fsync(temp->handle) != 0) return Replaced::NotWritten;
  if (!copy_access(file, temp->handle) || !names_file(file.directory, temp->name.c_str(), temp->status) ||
      !names_file(file.directory, file.name.c_str(), file.status) ||
      renameat(file.directory, temp->name.c_str(), file.directory, file.name.c_str()) != 0) {
    return Replaced::NotMoved;
  }
  // A rename is durable once its directory is synced, which waits for the
  // run's end; the file is whole under its name either way.
  remember_directory(file.directory);
  return Replaced::Yes;
}

void sync_directories() {
  for (const PendingDirectory& pending : pending_directories) {
    // The files are in place by now, so a directory that cannot be synced is
    // no failure.
    (void)fsync(pending.handle);
    (void)close(pending.handle);
  }
  pending_directories.clear();
}

}  // namespace platform
