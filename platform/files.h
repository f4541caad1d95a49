#pragma once
// Files as the tool uses them: the rule file, the named files and the
// temporary files they are rewritten through. Nothing here writes through a
// file it did not create itself, and a named file is only ever replaced whole,
// in one atomic step.

#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace platform {

#ifdef _WIN32
using FileHandle = HANDLE;
// Windows finds names by path; an open file keeps the directories above it
// from being renamed.
struct Directory {
  std::string path;
};
struct FileId {
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};
inline bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}
#else
using FileHandle = int;
// A directory held open: names are found in it even when a directory on the
// path to it is moved or swapped for a link meanwhile.
struct Directory {
  int handle;
};
struct FileId {
  dev_t device;
  ino_t inode;
};
inline bool operator==(const FileId& a, const FileId& b) { return a.device == b.device && a.inode == b.inode; }
#endif

// Opens the rule file for binary reading, without blocking. Null with errno
// set when it cannot be opened or is not a regular file.
std::FILE* open_rule_file(const char* path);

// The current directory, where the temporary file lies. False when it
// cannot be opened, or when others may write in it without the sticky bit,
// so that they could put a file of theirs in the temporary file's place.
bool open_current_directory(Directory* directory);

// A named file, open for reading, and where it lies with links resolved, so
// that a link stays a link and the file it leads to is replaced.
struct InputFile {
  FileHandle handle;
  Directory directory;
  std::string name;  // within `directory`
  std::string path;  // the whole resolved path
  FileId id;
#ifdef _WIN32
  DWORD attributes;
#else
  mode_t mode;
  uid_t owner;
  gid_t group;
#endif
};

// Opens a regular file that may be written. Fails for missing and read-only
// files, directories, devices, FIFOs and sockets, without blocking.
bool open_input(const char* name, InputFile* input);
// Closes the file; its directory stays open for the replace.
void close_input(InputFile* input);
void close_directory(Directory* directory);

// Whether the input's name still leads to the file that was opened.
bool still_named(const InputFile& input);

// A temporary file this run created and holds exclusively.
struct TempFile {
  FileHandle handle;
  const Directory* directory;
  const char* name;
  FileId id;
};

enum class TempResult { Created, Failed, NamesInput };

// Creates the temporary file `name` in `directory`, new and readable by this
// user alone. Waits while another run holds one of that name; removes a stale
// one left by a run that was killed, unless it is anything but a plain,
// writable file with one name (a link, a directory, a FIFO, a hard link to
// another file), which fails. NamesInput: the existing file is `input`
// (may be null), left untouched.
TempResult create_temp(const Directory& directory, const char* name, const FileId* input, TempFile* temp);

// Reads until `buffer` is full or the file ends. Returns the byte count, or
// -1 when the read fails.
int32_t read_file(FileHandle file, char* buffer, int32_t size);
// Writes all bytes; false when any part of the write fails.
bool write_file(FileHandle file, const char* bytes, int32_t count);
bool rewind_file(FileHandle file);

// Makes the complete temporary file's content durable.
bool sync_temp(const TempFile& temp);

enum class MoveResult { Moved, OtherVolume, Failed };

// Gives the temporary file the input's permissions (and owner and group where
// allowed), only now that it is complete, and puts it in the input's place in
// one atomic step, and closes it. Fails, leaving everything as it was, when the input's name or the
// temporary file's name no longer leads to the file it stood for.
// OtherVolume: the two lie on different volumes; the temporary file is
// left as this user's alone.
MoveResult move_over_input(TempFile* temp, const InputFile& input);

// Removes the temporary file and closes it.
void discard_temp(TempFile* temp);

// Whether both names lead to one existing file.
bool same_file(const char* a, const char* b);

}  // namespace platform
