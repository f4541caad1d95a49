#pragma once
// Files as the tool uses them: the rule file, the named files and the
// temporary file beside each that a named file is rewritten through. Nothing
// here writes through a file it did not create itself, and a named file is
// only ever replaced whole, in one atomic step, by a file that grants exactly
// the access it granted. The types are each system's own; the tool holds
// them through the owning pointers below.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct RuleFile;
struct NamedFile;
struct TempFile;

// Closing a temporary file that was not moved into place removes it.
struct Close {
  void operator()(RuleFile* file) const;
  void operator()(NamedFile* file) const;
  void operator()(TempFile* file) const;
};
using RuleFilePtr = std::unique_ptr<RuleFile, Close>;
using NamedFilePtr = std::unique_ptr<NamedFile, Close>;
using TempFilePtr = std::unique_ptr<TempFile, Close>;

// Opens the rule file for reading, without blocking. Null, with the errno
// value of the reason in `error`, when it cannot be opened or is not a
// regular file.
RuleFilePtr open_rule_file(const char* path, int* error);
// Whether the file still has the size and modification time it had when it
// was opened, also once `settle_ms` milliseconds have passed since its last
// change: a file rewritten while it was read is not used, even by a writer
// that pauses for less than that between its writes.
bool unchanged_since_open(const RuleFile& file, int settle_ms);

// Opens a regular file that may be written, finding where it lies with links
// resolved: a link stays a link and the file it leads to is corrected. Null
// for missing and read-only files, directories, devices, FIFOs and sockets,
// without blocking.
NamedFilePtr open_named_file(const char* name);

// The directory the file lies in, links resolved: the same text whatever
// name led to the file.
const std::string& directory_of(const NamedFile& file);
// Whether `name` leads to a file called `temp_name` in its own directory,
// links resolved; that directory, as directory_of() gives it, in `directory`.
bool names_temp_file(const char* name, const char* temp_name, std::string* directory);
// Whether a temporary file `temp_name` may be made beside the file: this
// user may write the directory, others may not swap its entries (as they may
// in a directory every user can write without the sticky bit), and an
// existing `temp_name` is a plain file with one name that a run may have left
// behind, not a link, a directory, a FIFO or a read-only file.
bool may_hold_temp(const NamedFile& file, const char* temp_name);
// The path of the temporary file `temp_name` beside the file, as messages
// show it.
std::string temp_path(const NamedFile& file, const char* temp_name);

enum class Wait { Done, StillBusy, Failed };

// Takes the file for this run: a run on the same file, under whatever name
// and from whatever directory, waits until this one has closed it, and then
// reads what this one left. StillBusy: another run still holds it after
// `patience_ms` milliseconds; call again to go on waiting (a negative
// patience waits as long as it takes).
Wait lock(NamedFile& file, int patience_ms);

// Creates the temporary file `temp_name` beside the file: new, held by this
// run, and readable by nobody who may not read the file. Waits like lock()
// while another run holds one of that name; removes a stale one left by a
// run that was killed.
Wait create_temp(const NamedFile& file, const char* temp_name, int patience_ms, TempFilePtr* temp);

// Reads until `buffer` is full or the file ends: the byte count, or -1 when
// the read fails (errno set).
int32_t read(RuleFile& file, char* buffer, int32_t size);
int32_t read(NamedFile& file, char* buffer, int32_t size);
// Goes back to the first byte.
bool rewind(RuleFile& file);
bool rewind(NamedFile& file);

// Copies the file's first `count` bytes to the temporary file, which is
// still empty; the named file's read position stays where it is.
bool copy_start(NamedFile& file, TempFile& temp, int64_t count);
// Writes all bytes; false when any part of the write fails.
bool write(TempFile& temp, const char* bytes, int32_t count);

enum class Replaced { Yes, NotWritten, NotMoved };

// Makes the temporary file's content durable, gives it exactly the access
// the named file grants (owner, group, mode, access control list and
// extended attributes; on Windows the security descriptor and attributes),
// and moves it over the named file in one atomic step. NotWritten: the
// content could not be made durable. NotMoved: the access cannot be
// reproduced (another user's file, or a group this user is not in), a name
// no longer leads to the file it stood for, or the move failed. The named
// file is then as it was and the temporary file is gone.
Replaced replace(NamedFile& file, TempFilePtr temp);

// Makes this run's replacements durable, each directory once; called before
// the run ends.
void sync_directories();

}  // namespace platform
