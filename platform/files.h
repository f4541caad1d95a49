#pragma once
// What the tool asks of the file system, as one narrow interface: each
// system's calls behind it (files_posix.cpp, files_win32.cpp), and a fake
// in the tests that can fail any call. The decisions (what to refuse, how
// long to wait, what to check before a file is replaced) are the caller's.

#include <cstdint>
#include <string>

namespace platform {

// An open file or directory, a lock or nothing (kNoHandle).
using Handle = std::intptr_t;
constexpr Handle kNoHandle = -1;

// What a file is, whatever name leads to it: device and inode on Linux,
// volume serial number and file index on Windows.
struct FileId {
  uint64_t volume;
  uint64_t index;
};
inline bool operator==(const FileId& a, const FileId& b) { return a.volume == b.volume && a.index == b.index; }
inline bool operator!=(const FileId& a, const FileId& b) { return !(a == b); }

enum class FileKind { Regular, Directory, Other };  // Other: links, devices, FIFOs, sockets

struct FileStatus {
  FileId id;
  FileKind kind;
  bool writable;  // the mode or attributes let someone write it
  int64_t size;
  int64_t changed_ns;  // last change of content or status, on the wall clock
};

enum class Lock { Taken, Busy, Failed };
enum class Created { Yes, NameTaken, Failed };
enum class Opened { Yes, Busy, Failed };  // Busy: held by another program a moment
enum class Access { Copied, NotCarried };

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens the directory where `name` leads once every link on the way is
  // followed; the file's own name in it goes to `base`.
  virtual Handle open_directory_of(const std::string& name, std::string* base) = 0;
  // What `base` in `directory` is, itself: a link is not followed.
  virtual bool look(Handle directory, const std::string& base, FileStatus* status) = 0;
  virtual bool status_of(Handle file, FileStatus* status) = 0;
  // Whether this user may add files to the directory while no other user
  // may rename or remove them there.
  virtual bool holds_files_safely(Handle directory) = 0;

  // Tries once, without waiting, to take the lock that every run on the
  // file `id` takes, whatever name it came by. Busy: `base` no longer leads
  // to that file, or another process holds the lock.
  virtual Lock try_lock(Handle directory, const std::string& base, const FileId& id, Handle* lock) = 0;

  // Opens the file that `lock` was taken on, under `base`, to read it, asking
  // to write it too, never through a link and never blocking on a device or
  // FIFO.
  virtual Opened open_file(Handle directory, const std::string& base, Handle lock, Handle* file) = 0;
  // Creates `name` new in `directory`, for writing, readable by nobody who may
  // not read `like`.
  virtual Created create_exclusive(Handle directory, const std::string& name, Handle like, Handle* file) = 0;
  // Opens the rule file to read it; kNoHandle, with errno's value for the
  // reason in `error`, when it cannot be opened or is not a regular file.
  virtual Handle open_rule_file(const std::string& path, int* error) = 0;

  // One read or write as the system makes it: the bytes it took, possibly
  // fewer than asked (a read gives 0 only at the end), or -1 on failure
  // (errno set). read_fully() and write_fully() go on until all are done.
  virtual int32_t read(Handle file, char* buffer, int32_t size) = 0;
  virtual int32_t write(Handle file, const char* bytes, int32_t count) = 0;
  virtual bool rewind(Handle file) = 0;
  // Copies the first `count` bytes of `from` to the empty `to`, leaving the
  // read position of `from` where it was.
  virtual bool copy_start(Handle from, Handle to, int64_t count) = 0;
  // Makes the content durable.
  virtual bool flush(Handle file) = 0;
  // Gives `to` exactly the access that `from` grants (owner, group, mode,
  // access control list and extended attributes; on Windows the owner and
  // attributes), and checks that it holds.
  virtual Access copy_access(Handle from, Handle to) = 0;

  // Moves `temp`, called `temp_name`, over `base` in the same directory in one
  // atomic step.
  virtual Opened move_over(Handle directory, Handle temp, const std::string& temp_name, const std::string& base) = 0;
  // Removes `name` from `directory` if it still is the open `file`.
  virtual void remove(Handle directory, Handle file, const std::string& name) = 0;
  // Makes the directory's new entries durable.
  virtual bool sync_directory(Handle directory) = 0;
  // Closes a file or directory; releases a lock.
  virtual void close(Handle handle) = 0;

  virtual void sleep_ms(int milliseconds) = 0;
  virtual int64_t wall_clock_ns() = 0;
  // A number nobody can guess, for names of new files.
  virtual uint64_t random() = 0;
};

// The system's files.
FileSystem& system_files();

// Fills up to `size` bytes, short only at the end; -1 on failure.
int32_t read_fully(FileSystem& files, Handle file, char* buffer, int32_t size);
// Writes all bytes, or fails.
bool write_fully(FileSystem& files, Handle file, const char* bytes, int32_t count);

}  // namespace platform
