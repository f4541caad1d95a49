#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/files.h"

namespace platform {

namespace {

FileId id_of(const struct stat& status) { return FileId{status.st_dev, status.st_ino}; }

// Whether `name` in `directory` is the file `id`, itself and not a link to it.
bool names_file(const Directory& directory, const char* name, const FileId& id) {
  struct stat status {};
  return fstatat(directory.handle, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && id_of(status) == id;
}

int lock(int file, int operation) {
  int locked;
  do {
    locked = flock(file, operation);
  } while (locked != 0 && errno == EINTR);
  return locked;
}

enum class Existing { Gone, Refused, IsInput };

// An existing `name` that no run holds any more is stale: removed once it is
// locked and still under that name. Only a plain file with one name that its
// owner may write is taken for a leftover; anything else was put there.
Existing remove_stale(const Directory& directory, const char* name, const FileId* input) {
  int file = openat(directory.handle, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) return errno == ENOENT ? Existing::Gone : Existing::Refused;
  struct stat status {};
  Existing result = Existing::Refused;
  if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      (status.st_mode & S_IWUSR) == 0) {
    result = Existing::Refused;
  } else if (input != nullptr && id_of(status) == *input) {
    result = Existing::IsInput;
  } else if (lock(file, status.st_uid == geteuid() ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
    // Our own runs are waited for. A file of another user is a leftover of a
    // run that gave it its target's owner, or was put there: a holder that
    // keeps it locked is not waited for.
    bool stale = names_file(directory, name, id_of(status));
    result = !stale || unlinkat(directory.handle, name, 0) == 0 ? Existing::Gone : Existing::Refused;
  }
  (void)close(file);
  return result;
}

// Owner and group first: changing them clears the set-id bits that the mode
// then restores. An owner we may not set is kept as it is.
bool copy_permissions(int file, const InputFile& input) {
  if (fchown(file, input.owner, input.group) != 0) {
    (void)!fchown(file, static_cast<uid_t>(-1), input.group);
  }
  return fchmod(file, input.mode & 07777) == 0;
}

}  // namespace

std::FILE* open_rule_file(const char* path) {
  // Opened without waiting, so that a FIFO cannot block the run.
  int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    int error = S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;  // it must be read twice
    (void)close(descriptor);
    errno = error;
    return nullptr;
  }
  std::FILE* file = fdopen(descriptor, "rb");
  if (file == nullptr) (void)close(descriptor);
  return file;
}

bool open_current_directory(Directory* directory) {
  directory->handle = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat status {};
  if (directory->handle < 0) return false;
  if (fstat(directory->handle, &status) != 0 || ((status.st_mode & S_IWOTH) != 0 && (status.st_mode & S_ISVTX) == 0)) {
    close_directory(directory);
    return false;
  }
  return true;
}

void close_directory(Directory* directory) {
  if (directory->handle >= 0) (void)close(directory->handle);
  directory->handle = -1;
}

bool open_input(const char* name, InputFile* input) {
  // Look before opening: opening a device or FIFO can block or have effects.
  struct stat before {};
  if (stat(name, &before) != 0 || !S_ISREG(before.st_mode) || (before.st_mode & 0222) == 0) return false;
  char* resolved = realpath(name, nullptr);
  if (resolved == nullptr) return false;
  input->path = resolved;
  std::free(resolved);
  std::string::size_type slash = input->path.rfind('/');
  input->name = input->path.substr(slash + 1);
  input->directory.handle =
      open(slash == 0 ? "/" : input->path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (input->directory.handle < 0) return false;
  // Relative to the directory and without following a link: a path swapped
  // since it was resolved leads nowhere else.
  input->handle =
      openat(input->directory.handle, input->name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat status {};
  // A file nobody may write is read-only, also for root.
  if (input->handle < 0 || fstat(input->handle, &status) != 0 || !S_ISREG(status.st_mode) ||
      !(id_of(status) == id_of(before)) || (status.st_mode & 0222) == 0) {
    if (input->handle >= 0) (void)close(input->handle);
    close_directory(&input->directory);
    return false;
  }
  input->id = id_of(status);
  input->mode = status.st_mode;
  input->owner = status.st_uid;
  input->group = status.st_gid;
  return true;
}

void close_input(InputFile* input) { (void)close(input->handle); }

bool still_named(const InputFile& input) { return names_file(input.directory, input.name.c_str(), input.id); }

TempResult create_temp(const Directory& directory, const char* name, const FileId* input, TempFile* temp) {
  for (;;) {
    // New every time, and this user's alone until it is complete: no
    // descriptor that someone kept on an earlier file sees a byte of it.
    int file = openat(directory.handle, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
    if (file < 0) {
      if (errno != EEXIST) return TempResult::Failed;
      switch (remove_stale(directory, name, input)) {
        case Existing::Gone:
          continue;
        case Existing::IsInput:
          return TempResult::NamesInput;
        case Existing::Refused:
          return TempResult::Failed;
      }
    }
    // Another run may take this one for stale before it is locked: the lock
    // counts only while the name still leads to the file.
    struct stat status {};
    if (lock(file, LOCK_EX) != 0 || fstat(file, &status) != 0) {
      (void)close(file);
      return TempResult::Failed;
    }
    if (!names_file(directory, name, id_of(status))) {
      (void)close(file);
      continue;
    }
    *temp = TempFile{file, &directory, name, id_of(status)};
    return TempResult::Created;
  }
}

int32_t read_file(FileHandle file, char* buffer, int32_t size) {
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

bool write_file(FileHandle file, const char* bytes, int32_t count) {
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

bool rewind_file(FileHandle file) { return lseek(file, 0, SEEK_SET) == 0; }

bool sync_temp(const TempFile& temp) { return fsync(temp.handle) == 0; }

MoveResult move_over_input(TempFile* temp, const InputFile& input) {
  if (!names_file(*temp->directory, temp->name, temp->id) || !still_named(input)) return MoveResult::Failed;
  if (temp->id.device != input.id.device) return MoveResult::OtherVolume;
  if (!copy_permissions(temp->handle, input)) return MoveResult::Failed;
  if (renameat(temp->directory->handle, temp->name, input.directory.handle, input.name.c_str()) != 0) {
    return errno == EXDEV ? MoveResult::OtherVolume : MoveResult::Failed;
  }
  // A rename is durable once its directory is synced. The file is replaced
  // by then, so a directory that cannot be synced is no failure.
  (void)fsync(input.directory.handle);
  // Closing releases the lock: only now may another run take the name.
  (void)close(temp->handle);
  return MoveResult::Moved;
}

void discard_temp(TempFile* temp) {
  // Removed while locked, so the name cannot meanwhile be another run's.
  if (names_file(*temp->directory, temp->name, temp->id)) (void)unlinkat(temp->directory->handle, temp->name, 0);
  (void)close(temp->handle);
}

bool same_file(const char* a, const char* b) {
  struct stat first {};
  struct stat second {};
  return stat(a, &first) == 0 && stat(b, &second) == 0 && id_of(first) == id_of(second);
}

}  // namespace platform
