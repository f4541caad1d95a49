#pragma once
// Rewriting a file through a temporary file without ever losing it: the named
// file stays untouched until the complete new content is on disk, and is then
// replaced in one atomic step.

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

namespace platform {

#ifdef _WIN32
using FileHandle = HANDLE;
#else
using FileHandle = int;
#endif

// A file named on the command line, open for reading.
struct InputFile {
  FileHandle handle;
  // The path to replace: the file itself, with symbolic links resolved, so
  // that a link stays a link.
  std::string target;
#ifdef _WIN32
  BY_HANDLE_FILE_INFORMATION info;
#else
  dev_t device;
  ino_t inode;
  mode_t mode;
  uid_t owner;
  gid_t group;
#endif
};

// The temporary file, held exclusively by this run while it is open.
struct TempFile {
  FileHandle handle;
  const char* name;
};

// Opens a regular file that may be written for reading. Fails for missing and
// read-only files, directories, devices, FIFOs and sockets, without blocking.
bool open_input(const char* name, InputFile* input);
void close_input(InputFile* input);

enum class TempResult { Created, Failed, NamesInput };

// Creates the temporary file `name` in the current directory, or takes over
// and empties a stale one. Never follows or writes through anything but a
// plain file of this user with a single name; waits while another run holds
// it. NamesInput: `name` is the input file itself, left untouched.
TempResult create_temp(const char* name, const InputFile& input, TempFile* temp);

// Reads until `buffer` is full or the file ends. Returns the byte count, or
// -1 when the read fails.
int32_t read_input(FileHandle file, char* buffer, int32_t size);

// Writes all bytes; false when any part of the write fails.
bool write_all(FileHandle file, const char* bytes, int32_t count);

// Makes the temporary file's content durable; false on failure.
bool sync_temp(const TempFile& temp);

// Puts the temporary file in the input's place with the input's permissions,
// atomically, also across filesystems, and closes it. On failure the input
// stays as it was and the temporary file is still open.
bool replace_with_temp(TempFile* temp, const InputFile& input);

// Removes the temporary file of a failed rewrite and closes it.
void discard_temp(TempFile* temp);

// Whether both names lead to one existing file.
bool same_file(const char* a, const char* b);

}  // namespace platform
