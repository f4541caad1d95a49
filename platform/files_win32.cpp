#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/utf16.h"

namespace platform {

namespace {

struct FileId {
  DWORD volume;
  DWORD index_high;
  DWORD index_low;
};
bool operator==(const FileId& a, const FileId& b) {
  return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

}  // namespace

struct RuleFile {
  HANDLE handle;
  BY_HANDLE_FILE_INFORMATION opened;
};

// Paths are kept in the \\?\ form, which every wide call takes at any length.
struct NamedFile {
  std::wstring path;    // links resolved
  std::wstring folder;  // the directory, ending in a backslash
  std::string directory;
  FileId id;
  DWORD attributes;
  // Open only while locked: another run's replace cannot take the place of
  // an open file.
  HANDLE handle;
  HANDLE lock;  // a mutex named after the file's identity
  bool locked;
};

struct TempFile {
  HANDLE handle;
  // Created with the named file's owner. (Read through the owning pointer,
  // which cppcheck does not follow.)
  // cppcheck-suppress unusedStructMember
  bool owner_kept;
  bool moved;
};

namespace {

// What a rewritten file keeps of the original's attributes; read-only files
// are refused before, and the rest describes the new content, not the file.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRetryMilliseconds = 50;
// A file being deleted denies every open until its last handle closes, a
// file another process only looks at (another run checking its names, a
// virus scanner) cannot be replaced meanwhile, and a file just moved into
// place stays its mover's a moment longer: each lasts a moment. Twenty tries
// 50 ms apart wait a second for it, and no more.
constexpr int kTransientRetries = 20;
// Each time the lock is found to belong to a file that another run has
// replaced meanwhile, that run has finished: the bound only keeps a file that
// is replaced without end from holding this run.
constexpr int kReplacedRetries = 100;
// Lets every user wait for a lock and release it, and nothing else, so that
// the runs of different users on one file serialise too.
constexpr wchar_t kLockAccess[] = L"D:(A;;0x00100001;;;WD)";  // SYNCHRONIZE | MUTEX_MODIFY_STATE for Everyone

std::wstring wide(std::string_view utf8) {
  std::u16string utf16 = utf16_from_utf8(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string narrow(const std::wstring& text) { return utf8_from_utf16(std::u16string(text.begin(), text.end())); }

// Grows the buffer until `call` fits in it: `call` returns the length it
// wrote, or the size it needs, or 0 on failure.
template <typename Call>
bool fill(std::wstring* text, Call call) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 3; ++attempt) {  // a size asked for once is enough
    DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    if (length < buffer.size()) {
      text->assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length + 1);
  }
  return false;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Device names (NUL, CON, COM1, also with a directory or an extension) come
// back as \\.\ paths: opening one can block or have effects.
bool full_path(const char* name, std::wstring* path) {
  std::wstring given = wide(name);
  return fill(path,
              [&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(given.c_str(), size, buffer, nullptr); }) &&
         !starts_with(*path, L"\\\\.\\");
}

std::wstring long_form(const std::wstring& full) {
  if (starts_with(full, L"\\\\?\\")) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// A path as messages show it, without the \\?\ form.
std::wstring shown(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (starts_with(path, L"\\\\?\\") && path.size() >= 6 && path[5] == L':') return path.substr(4);
  return path;
}

// The path an open file really has, through any link or junction on the way.
bool final_path(HANDLE file, std::wstring* path) {
  return fill(path, [&](wchar_t* buffer, DWORD size) { return GetFinalPathNameByHandleW(file, buffer, size, 0); });
}

bool same_name(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring base_name(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

// The directory as directory_of() gives it: a drive's root keeps its
// backslash.
std::string directory_text(const std::wstring& folder) {
  std::wstring directory = shown(folder);
  if (directory.size() > 1 && directory[directory.size() - 2] != L':') directory.pop_back();
  return narrow(directory);
}

bool id_of(HANDLE file, FileId* id, BY_HANDLE_FILE_INFORMATION* info) {
  if (!GetFileInformationByHandle(file, info)) return false;
  *id = FileId{info->dwVolumeSerialNumber, info->nFileIndexHigh, info->nFileIndexLow};
  return true;
}

// Looks at what `path` names without asking for any access, so that a file
// another run holds can still be looked at.
HANDLE open_to_look(const std::wstring& path, DWORD flags) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Whether `path` is the file `id` itself, not a link to it.
bool names_file(const std::wstring& path, const FileId& id) {
  HANDLE file = open_to_look(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  FileId found{};
  bool same = id_of(file, &found, &info) && found == id;
  CloseHandle(file);
  return same;
}

// Whether the open file is a regular file that may be written, as far as its
// attributes tell.
bool is_writable_file(HANDLE file, FileId* id, DWORD* attributes) {
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !id_of(file, id, &info) || (info.dwFileAttributes & refused) != 0) {
    return false;
  }
  *attributes = info.dwFileAttributes;
  return true;
}

// Opens a regular file for reading it, asking to write it too, which a file
// this user may not write denies. Without delete sharing nobody moves it or
// the directories above it away while it is open.
HANDLE open_writable(const std::wstring& path, FileId* id, DWORD* attributes) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file != INVALID_HANDLE_VALUE && !is_writable_file(file, id, attributes)) {
    CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// The errno value the C runtime gives each failure, so that the report
// prints the runtime's text for it.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NETWORK_ACCESS_DENIED:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return ENOSPC;
    default:
      return EINVAL;
  }
}

int32_t read_all(HANDLE file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    DWORD count = 0;
    if (!ReadFile(file, buffer + filled, static_cast<DWORD>(size - filled), &count, nullptr)) {
      errno = errno_of(GetLastError());
      return -1;
    }
    if (count == 0) break;
    filled += static_cast<int32_t>(count);
  }
  return filled;
}

bool write_all(HANDLE file, const char* bytes, DWORD count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, count, &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

bool rewind_handle(HANDLE file) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
}

bool mark_for_deletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

std::wstring hex(DWORD value) {
  std::wstring digits(8, L'0');
  for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit, value >>= 4)
    *digit = L"0123456789abcdef"[value & 15];
  return digits;
}

// The lock of the file `id`, one for every name that leads to it, in the
// namespace every session shares.
HANDLE lock_of(const FileId& id) {
  std::wstring name = L"Global\\quorbel-" + hex(id.volume) + L"-" + hex(id.index_high) + hex(id.index_low);
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockAccess, SDDL_REVISION_1,
                                                            &security.lpSecurityDescriptor, nullptr)) {
    return nullptr;
  }
  HANDLE mutex = CreateMutexExW(&security, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
  LocalFree(security.lpSecurityDescriptor);
  return mutex;
}

void unlock(NamedFile* file) {
  if (file->handle != INVALID_HANDLE_VALUE) CloseHandle(file->handle);
  file->handle = INVALID_HANDLE_VALUE;
  if (file->locked) ReleaseMutex(file->lock);
  file->locked = false;
  if (file->lock != nullptr) CloseHandle(file->lock);
  file->lock = nullptr;
}

enum class Existing { Gone, Busy, Refused, Transient };

// What an open failure on an existing name means; a file being deleted
// denies every open for a moment.
Existing existing_after(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return Existing::Gone;
    case ERROR_SHARING_VIOLATION:
      return Existing::Busy;
    case ERROR_ACCESS_DENIED:
      return Existing::Transient;
    default:
      return Existing::Refused;
  }
}

// What the open `file` under `path` is. Busy: a leftover temporary file or
// another run's, a plain, writable file with one name. Refused: anything
// else, a link, a junction or any other reparse point included.
Existing kind_of(HANDLE file, const std::wstring& path, FileId* id) {
  const DWORD refused =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !id_of(file, id, &info) || (info.dwFileAttributes & refused) != 0 ||
      info.nNumberOfLinks != 1) {
    return Existing::Refused;
  }
  std::wstring reported;
  if (final_path(file, &reported) && same_name(reported, path)) return Existing::Busy;
  // Reported elsewhere: moved away this moment, or, under wine, which shows
  // a Unix symbolic link as the file it leads to, a link that the name still
  // leads through.
  return names_file(path, *id) ? Existing::Refused : Existing::Transient;
}

// Looks at an existing temporary file without claiming it. Gone: nothing is
// there.
Existing look_at_existing(const std::wstring& path, FileId* id) {
  HANDLE file = open_to_look(path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (file == INVALID_HANDLE_VALUE) {
    Existing existing = existing_after(GetLastError());
    if (existing != Existing::Gone) return existing;
    // Listed, yet not there to open: made or removed this moment, or, under
    // wine, a link that leads nowhere.
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return Existing::Gone;
    FindClose(search);
    return Existing::Transient;
  }
  Existing existing = kind_of(file, path, id);
  CloseHandle(file);
  return existing;
}

// Removes a leftover temporary file that no run holds any more: claimed
// without sharing, which fails while a run holds it, and deleted through that
// handle once it is seen to be the file looked at.
Existing remove_stale(const std::wstring& path) {
  FileId seen{};
  Existing existing = look_at_existing(path, &seen);
  if (existing != Existing::Busy) return existing;
  HANDLE file = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return existing_after(GetLastError());
  FileId claimed{};
  existing = kind_of(file, path, &claimed);
  if (existing == Existing::Busy) {
    existing = !(claimed == seen) ? Existing::Transient : mark_for_deletion(file) ? Existing::Gone : Existing::Refused;
  }
  CloseHandle(file);
  return existing;
}

// The named file's owner, group and access control list, which the temporary
// file is created with. A volume that keeps none (FAT, as on most memory
// sticks) has none to carry: its descriptor stays null.
struct Security {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool known = false;
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;
  explicit Security(HANDLE file) {
    DWORD volume = 0;
    if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &volume, nullptr, 0) &&
        (volume & FILE_PERSISTENT_ACLS) == 0) {
      known = true;
    } else {
      known = GetSecurityInfo(file, SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
    }
  }
  ~Security() { LocalFree(descriptor); }
};

// Setting another user's owner takes the privilege to restore files, which
// an elevated administrator holds but has not turned on.
bool enable_restore_privilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  bool enabled = LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
                 AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                 GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
  CloseHandle(token);
  return enabled;
}

// The descriptor without its owner, which the creator then gets.
bool without_owner(PSECURITY_DESCRIPTOR whole, SECURITY_DESCRIPTOR* part) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL list = nullptr;
  PSID group = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const SECURITY_DESCRIPTOR_CONTROL inheritance = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
  return InitializeSecurityDescriptor(part, SECURITY_DESCRIPTOR_REVISION) &&
         GetSecurityDescriptorDacl(whole, &present, &list, &defaulted) &&
         SetSecurityDescriptorDacl(part, present, list, FALSE) &&
         GetSecurityDescriptorGroup(whole, &group, &defaulted) && SetSecurityDescriptorGroup(part, group, FALSE) &&
         GetSecurityDescriptorControl(whole, &control, &revision) &&
         SetSecurityDescriptorControl(part, inheritance, control & inheritance);
}

// Creates the file new, with `descriptor`. No sharing: nobody reads, changes,
// renames or deletes it while this run holds it, and other runs wait.
HANDLE create_new(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, &security, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Creates the temporary file with the named file's security; where this user
// may not make its owner the file's, with the rest of it, the owner this
// user: such a file is not put in the named file's place.
HANDLE create_with(const std::wstring& path, const Security& security, bool* owner_kept) {
  *owner_kept = true;
  HANDLE file = create_new(path, security.descriptor);
  if (file != INVALID_HANDLE_VALUE || security.descriptor == nullptr || GetLastError() != ERROR_INVALID_OWNER) {
    return file;
  }
  if (enable_restore_privilege()) {
    file = create_new(path, security.descriptor);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_OWNER) return file;
  }
  SECURITY_DESCRIPTOR part{};
  if (!without_owner(security.descriptor, &part)) return INVALID_HANDLE_VALUE;
  *owner_kept = false;
  return create_new(path, &part);
}

}  // namespace

void Close::operator()(RuleFile* file) const {
  CloseHandle(file->handle);  // read only: closing cannot lose data
  delete file;
}

void Close::operator()(NamedFile* file) const {
  // Releasing the lock lets another run on the file go on.
  unlock(file);
  delete file;
}

void Close::operator()(TempFile* file) const {
  // Deleted through the handle, so the name cannot meanwhile be another
  // run's; one that cannot be is a leftover the next run removes.
  if (!file->moved) (void)mark_for_deletion(file->handle);
  CloseHandle(file->handle);
  delete file;
}

RuleFilePtr open_rule_file(const char* path, int* error) {
  std::wstring full;
  if (!full_path(path, &full)) {
    *error = ENOENT;
    return nullptr;
  }
  HANDLE handle = CreateFileW(long_form(full).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = errno_of(GetLastError());  // a directory is denied, as the C runtime says
    return nullptr;
  }
  RuleFilePtr file(new RuleFile{handle, {}});
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &file->opened)) {
    *error = EACCES;
    return nullptr;
  }
  return file;
}

bool unchanged_since_open(const RuleFile& file, int settle_ms) {
  const BY_HANDLE_FILE_INFORMATION& then = file.opened;
  auto same = [&file, &then] {
    BY_HANDLE_FILE_INFORMATION now{};
    return GetFileInformationByHandle(file.handle, &now) && now.nFileSizeHigh == then.nFileSizeHigh &&
           now.nFileSizeLow == then.nFileSizeLow && CompareFileTime(&now.ftLastWriteTime, &then.ftLastWriteTime) == 0;
  };
  if (!same()) return false;
  auto ticks = [](const FILETIME& time) {  // 100 ns each
    return static_cast<long long>(ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart);
  };
  FILETIME clock{};
  GetSystemTimeAsFileTime(&clock);
  long long since_change = (ticks(clock) - ticks(then.ftLastWriteTime)) / 10000;
  if (since_change >= settle_ms) return true;
  // A clock set back makes this negative: wait no longer than the settle time.
  Sleep(static_cast<DWORD>(settle_ms - std::max(since_change, 0LL)));
  return same();
}

NamedFilePtr open_named_file(const char* name) {
  std::wstring full;
  if (!full_path(name, &full)) return nullptr;
  NamedFilePtr file(new NamedFile{{}, {}, {}, {}, 0, INVALID_HANDLE_VALUE, nullptr, false});
  // Only looked at until the lock, asking for no access: a run that has
  // just moved its temporary file into this one's place holds it without
  // sharing until it is done with it.
  HANDLE handle = open_to_look(long_form(full), 0);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  bool writable = is_writable_file(handle, &file->id, &file->attributes);
  // A link stays a link and the file it leads to is replaced. Where the
  // system cannot tell the final path, the path as given is the best known.
  if (writable && !final_path(handle, &file->path)) file->path = long_form(full);
  CloseHandle(handle);
  if (!writable) return nullptr;
  file->folder = file->path.substr(0, file->path.rfind(L'\\') + 1);
  file->directory = directory_text(file->folder);
  return file;
}

const std::string& directory_of(const NamedFile& file) { return file.directory; }

bool names_temp_file(const char* name, const char* temp_name, std::string* directory) {
  std::wstring full;
  std::wstring path;
  if (!full_path(name, &full)) return false;
  HANDLE file = open_to_look(long_form(full), 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (!final_path(file, &path)) path = long_form(full);
  CloseHandle(file);
  if (!same_name(base_name(path), wide(temp_name))) return false;
  *directory = directory_text(path.substr(0, path.rfind(L'\\') + 1));
  return true;
}

bool may_hold_temp(const NamedFile& file, const char* temp_name) {
  HANDLE directory = CreateFileW(file.folder.c_str(), FILE_ADD_FILE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return false;
  CloseHandle(directory);
  std::wstring path = file.folder + wide(temp_name);
  if (same_name(path, file.path)) return false;  // the file itself is never a leftover
  FileId existing{};
  for (int transient = 0; transient < kTransientRetries; ++transient) {
    switch (look_at_existing(path, &existing)) {
      case Existing::Gone:
      case Existing::Busy:
        return true;
      case Existing::Refused:
        return false;
      case Existing::Transient:
        Sleep(kRetryMilliseconds);
        break;
    }
  }
  return false;
}

std::string temp_path(const NamedFile& file, const char* temp_name) {
  return file.directory + (file.directory.back() == '\\' ? "" : "\\") + temp_name;
}

Wait lock(NamedFile& file, int patience_ms) {
  for (int replaced = 0; replaced < kReplacedRetries; ++replaced) {
    if (file.lock == nullptr) file.lock = lock_of(file.id);
    if (file.lock == nullptr) return Wait::Failed;
    DWORD waited = WaitForSingleObject(file.lock, patience_ms < 0 ? INFINITE : static_cast<DWORD>(patience_ms));
    if (waited == WAIT_TIMEOUT) return Wait::StillBusy;
    // Abandoned: the run that held it was killed, and left the file whole.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return Wait::Failed;
    file.locked = true;
    FileId found{};
    // A run that has just moved its temporary file into this one's place,
    // under the replaced file's lock, holds it without sharing a moment
    // longer.
    for (int busy = 0; (file.handle = open_writable(file.path, &found, &file.attributes)) == INVALID_HANDLE_VALUE &&
                       GetLastError() == ERROR_SHARING_VIOLATION && ++busy < kTransientRetries;) {
      Sleep(kRetryMilliseconds);
    }
    if (file.handle == INVALID_HANDLE_VALUE) return Wait::Failed;
    if (found == file.id) return Wait::Done;
    // Another run put a new file in its place meanwhile: that one is
    // corrected, under its own lock.
    unlock(&file);
    file.id = found;
  }
  return Wait::Failed;
}

Wait create_temp(const NamedFile& file, const char* temp_name, int patience_ms, TempFilePtr* temp) {
  std::wstring path = file.folder + wide(temp_name);
  Security security(file.handle);
  if (same_name(path, file.path) || !security.known) return Wait::Failed;
  ULONGLONG started = GetTickCount64();
  // Waiting for another run's file goes on as long as it holds it; anything
  // else that keeps the name taken ends after a bound.
  for (int unexplained = 0; unexplained < kTransientRetries;) {
    bool owner_kept = true;
    HANDLE handle = create_with(path, security, &owner_kept);
    if (handle != INVALID_HANDLE_VALUE) {
      *temp = TempFilePtr(new TempFile{handle, owner_kept, false});
      return Wait::Done;
    }
    DWORD error = GetLastError();
    Existing existing = Existing::Transient;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      existing = remove_stale(path);
    } else if (error != ERROR_ACCESS_DENIED) {
      return Wait::Failed;
    }
    switch (existing) {
      case Existing::Refused:
        return Wait::Failed;
      case Existing::Busy:
        unexplained = 0;
        if (patience_ms >= 0 && GetTickCount64() - started >= static_cast<ULONGLONG>(patience_ms)) {
          return Wait::StillBusy;
        }
        Sleep(kRetryMilliseconds);
        break;
      case Existing::Gone:
        ++unexplained;
        break;
      case Existing::Transient:
        ++unexplained;
        Sleep(kRetryMilliseconds);
        break;
    }
  }
  return Wait::Failed;
}

// Reading and rewinding move the file's position, which its handle holds:
// the file changes though the handle does not.
// cppcheck-suppress constParameter
int32_t read(RuleFile& file, char* buffer, int32_t size) { return read_all(file.handle, buffer, size); }
// cppcheck-suppress constParameter
int32_t read(NamedFile& file, char* buffer, int32_t size) { return read_all(file.handle, buffer, size); }
// cppcheck-suppress constParameter
bool rewind(RuleFile& file) { return rewind_handle(file.handle); }
// cppcheck-suppress constParameter
bool rewind(NamedFile& file) { return rewind_handle(file.handle); }

bool copy_start(NamedFile& file, TempFile& temp, int64_t count) {
  // A read at an offset still moves the position: it is put back after.
  LARGE_INTEGER position{};
  LARGE_INTEGER here{};
  if (!SetFilePointerEx(file.handle, here, &position, FILE_CURRENT)) return false;
  std::vector<char> buffer(1 << 16);
  bool copied = true;
  for (int64_t done = 0; copied && done < count;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(done);
    at.OffsetHigh = static_cast<DWORD>(done >> 32);
    auto want = static_cast<DWORD>(std::min<int64_t>(count - done, static_cast<int64_t>(buffer.size())));
    DWORD got = 0;
    copied =
        ReadFile(file.handle, buffer.data(), want, &got, &at) && got > 0 && write_all(temp.handle, buffer.data(), got);
    done += got;
  }
  return SetFilePointerEx(file.handle, position, nullptr, FILE_BEGIN) && copied;
}

bool write(TempFile& temp, const char* bytes, int32_t count) {
  return write_all(temp.handle, bytes, static_cast<DWORD>(count));
}

Replaced replace(NamedFile& file, TempFilePtr temp) {
  if (!FlushFileBuffers(temp->handle)) return Replaced::NotWritten;
  FILE_BASIC_INFO basic{};  // zero times and attributes mean "leave as is"
  basic.FileAttributes = file.attributes & kKeptAttributes;
  if (!temp->owner_kept || !SetFileInformationByHandle(temp->handle, FileBasicInfo, &basic, sizeof basic)) {
    return Replaced::NotMoved;
  }
  // An open file cannot be replaced; the lock keeps other runs out from here.
  CloseHandle(file.handle);
  file.handle = INVALID_HANDLE_VALUE;
  if (!names_file(file.path, file.id)) return Replaced::NotMoved;
  // Renamed through its own handle: nobody else may rename or delete it, so
  // the file moved is the one written.
  std::size_t bytes = offsetof(FILE_RENAME_INFO, FileName) + (file.path.size() + 1) * sizeof(wchar_t);
  std::vector<FILE_RENAME_INFO> rename(bytes / sizeof(FILE_RENAME_INFO) + 1);
  rename[0].ReplaceIfExists = TRUE;
  rename[0].RootDirectory = nullptr;
  rename[0].FileNameLength = static_cast<DWORD>(file.path.size()) * DWORD{sizeof(wchar_t)};
  std::copy(file.path.begin(), file.path.end(), rename[0].FileName);
  rename[0].FileName[file.path.size()] = L'\0';
  for (int denied = 0;
       !SetFileInformationByHandle(temp->handle, FileRenameInfo, rename.data(), static_cast<DWORD>(bytes));) {
    DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || ++denied >= kTransientRetries) {
      return Replaced::NotMoved;
    }
    Sleep(kRetryMilliseconds);
  }
  temp->moved = true;
  // Flushing the file again commits its new name with it.
  (void)FlushFileBuffers(temp->handle);
  return Replaced::Yes;
}

// Each replacement is durable once its file is flushed.
void sync_directories() {}

}  // namespace platform
