#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/utf16.h"

namespace platform {

namespace {

// What a Handle stands for: the system's handle, and for a directory its
// path in the \\?\ form, which every wide call takes at any length.
struct Object {
  HANDLE handle;
  std::wstring path;  // a directory's, ending in a backslash
  bool mutex;
};

// A Handle holds an Object's address, as the system's handles are opaque numbers.
Object& object(Handle handle) { return *reinterpret_cast<Object*>(handle); }  // NOLINT(performance-no-int-to-ptr)
HANDLE native(Handle handle) { return object(handle).handle; }
Handle wrap(HANDLE handle, std::wstring path = {}, bool mutex = false) {
  return reinterpret_cast<Handle>(new Object{handle, std::move(path), mutex});
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What a rewritten file keeps of the original's attributes; read-only files
// are refused before, and the rest describes the new content, not the file.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Lets every user wait for a lock and release it, and nothing else, so that
// the runs of different users on one file take turns too.
constexpr wchar_t kLockAccess[] = L"D:(A;;0x00100001;;;WD)";  // SYNCHRONIZE | MUTEX_MODIFY_STATE for Everyone

std::wstring wide(const std::string& utf8) {
  std::u16string utf16 = utf16_from_utf8(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// The path an open file really has, through any link or junction on the way.
bool final_path(HANDLE file, std::wstring* path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (int attempt = 0; attempt < 2; ++attempt) {  // a size asked for once is enough
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return false;
    if (length < buffer.size()) {
      path->assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length + 1);
  }
  return false;
}

// A file's full path in the \\?\ form. Device names (NUL, CON, COM1, also with
// a directory or an extension) come back as \\.\ paths and are refused:
// opening one can block or have effects.
bool full_path(const std::string& name, std::wstring* path) {
  std::wstring given = wide(name);
  DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  std::vector<wchar_t> buffer(size + 1);
  DWORD length = size == 0 ? 0 : GetFullPathNameW(given.c_str(), size + 1, buffer.data(), nullptr);
  if (length == 0 || length > size) return false;
  path->assign(buffer.data(), length);
  if (starts_with(*path, L"\\\\.\\")) return false;
  if (!starts_with(*path, L"\\\\?\\"))
    *path = starts_with(*path, L"\\\\") ? L"\\\\?\\UNC\\" + path->substr(2) : L"\\\\?\\" + *path;
  return true;
}

// Looks at what `path` names, asking for no access, so that a file another
// run holds can still be looked at.
HANDLE open_to_look(const std::wstring& path, DWORD flags) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

bool status_of_native(HANDLE file, FileStatus* status, DWORD* attributes = nullptr) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  const DWORD other = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  FileKind kind = GetFileType(file) != FILE_TYPE_DISK || (info.dwFileAttributes & other) != 0 ? FileKind::Other
                  : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0                   ? FileKind::Directory
                                                                                              : FileKind::Regular;
  auto wide_value = [](DWORD high, DWORD low) { return static_cast<uint64_t>(high) << 32 | low; };
  *status = FileStatus{
      {info.dwVolumeSerialNumber, wide_value(info.nFileIndexHigh, info.nFileIndexLow)},
      kind,
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0,
      static_cast<int64_t>(wide_value(info.nFileSizeHigh, info.nFileSizeLow)),
      static_cast<int64_t>(wide_value(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)) * 100};
  if (attributes != nullptr) *attributes = info.dwFileAttributes;
  return true;
}

// The errno value the C runtime gives each failure, so that the report
// prints the runtime's text for it; EINVAL for any other.
int errno_of(DWORD error) {
  constexpr std::pair<DWORD, int> kErrnos[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},       {ERROR_PATH_NOT_FOUND, ENOENT},      {ERROR_INVALID_DRIVE, ENOENT},
      {ERROR_BAD_NETPATH, ENOENT},          {ERROR_BAD_NET_NAME, ENOENT},        {ERROR_BAD_PATHNAME, ENOENT},
      {ERROR_FILENAME_EXCED_RANGE, ENOENT}, {ERROR_TOO_MANY_OPEN_FILES, EMFILE}, {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EACCES},    {ERROR_LOCK_VIOLATION, EACCES},      {ERROR_NETWORK_ACCESS_DENIED, EACCES},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},    {ERROR_OUTOFMEMORY, ENOMEM}};
  const auto* known =
      std::find_if(std::begin(kErrnos), std::end(kErrnos), [error](const auto& pair) { return pair.first == error; });
  return known != std::end(kErrnos) ? known->second : EINVAL;
}

bool keeps_access_lists(HANDLE file) {
  DWORD flags = 0;
  return !GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

// A file's owner, group and access control list, or for `parts` less.
struct Security {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  Security(HANDLE file, SECURITY_INFORMATION parts) {
    if (GetSecurityInfo(file, SE_FILE_OBJECT, parts, &owner, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
      descriptor = nullptr;
    }
  }
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;
  ~Security() { LocalFree(descriptor); }
};
constexpr SECURITY_INFORMATION kWholeSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Setting another user's owner takes the privilege to restore files, which
// an elevated administrator holds but has not turned on.
void enable_restore_privilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid)) {
    (void)AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// No sharing: nobody reads, changes, renames or deletes it while this run
// holds it.
HANDLE create_new(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL, 0, &security, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

class WindowsFiles final : public FileSystem {
 public:
  Handle open_directory_of(const std::string& name, std::string* base) override {
    std::wstring path;
    if (!full_path(name, &path)) return kNoHandle;
    HANDLE file = open_to_look(path, 0);
    if (file == INVALID_HANDLE_VALUE) return kNoHandle;
    std::wstring final;
    if (final_path(file, &final)) path = final;  // else the path as given is the best known
    CloseHandle(file);
    std::wstring folder = path.substr(0, path.rfind(L'\\') + 1);
    std::wstring stored = path.substr(folder.size());
    // The name as the directory spells it, which a rename would otherwise
    // respell; listed, since a search for the name itself may answer with it.
    WIN32_FIND_DATAW found{};
    std::wstring spelt;
    HANDLE search = FindFirstFileW((folder + stored.substr(0, stored.size() - 1) + L'?').c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found) != 0) {
      if (stored == found.cFileName) {
        spelt.clear();  // spelt as given: a directory that tells letter case apart
        break;
      }
      if (CompareStringOrdinal(found.cFileName, -1, stored.c_str(), -1, TRUE) == CSTR_EQUAL) spelt = found.cFileName;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    if (!spelt.empty()) stored = spelt;
    *base = utf8_from_utf16(std::u16string(stored.begin(), stored.end()));
    // Without delete sharing nobody moves the directory away meanwhile.
    HANDLE directory = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return directory == INVALID_HANDLE_VALUE ? kNoHandle : wrap(directory, folder);
  }

  bool look(Handle directory, const std::string& base, FileStatus* status) override {
    HANDLE file = open_to_look(object(directory).path + wide(base), FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool known = status_of_native(file, status);
    CloseHandle(file);
    return known;
  }

  bool status_of(Handle file, FileStatus* status) override { return status_of_native(native(file), status); }

  // A file made without sharing cannot be renamed or removed by anyone.
  bool holds_files_safely(Handle directory) override {
    HANDLE adding = CreateFileW(object(directory).path.c_str(), FILE_ADD_FILE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (adding == INVALID_HANDLE_VALUE) return false;
    CloseHandle(adding);
    return true;
  }

  // A mutex named after the file's identity in the namespace every session
  // shares: an open file cannot be replaced, so no run may hold the file
  // itself while it waits.
  Lock try_lock(Handle, const std::string&, const FileId& id, Handle* lock) override {
    wchar_t name[64];
    (void)swprintf(name, 64, L"Global\\quorbel-%016llx-%016llx", static_cast<unsigned long long>(id.volume),
                   static_cast<unsigned long long>(id.index));
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockAccess, SDDL_REVISION_1,
                                                              &security.lpSecurityDescriptor, nullptr)) {
      return Lock::Failed;
    }
    HANDLE mutex = CreateMutexExW(&security, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    LocalFree(security.lpSecurityDescriptor);
    if (mutex == nullptr) return Lock::Failed;
    // Abandoned: the run that held it was killed, and left the file whole.
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      *lock = wrap(mutex, {}, true);
      return Lock::Taken;
    }
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? Lock::Busy : Lock::Failed;
  }

  // Without delete sharing nobody moves it or the directories above it away
  // while it is open.
  Opened open_file(Handle directory, const std::string& base, Handle, Handle* file) override {
    HANDLE opened =
        CreateFileW((object(directory).path + wide(base)).c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
      return GetLastError() == ERROR_SHARING_VIOLATION ? Opened::Busy : Opened::Failed;
    *file = wrap(opened);
    return Opened::Yes;
  }

  // With the file's owner, group and access list, so that nobody reads it
  // who may not read `like`; where this user may not make another user the
  // owner, with this user as owner, which copy_access() then refuses. A
  // volume without access lists (FAT) has none to carry.
  Created create_exclusive(Handle directory, const std::string& name, Handle like, Handle* file) override {
    std::wstring path = object(directory).path + wide(name);
    bool lists = keeps_access_lists(native(like));
    Security security(native(like), kWholeSecurity);
    if (lists && security.descriptor == nullptr) return Created::Failed;
    HANDLE created = create_new(path, security.descriptor);
    if (created == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_OWNER) {
      enable_restore_privilege();
      created = create_new(path, security.descriptor);
      if (created == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_OWNER) {
        Security part(native(like), GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
        created = create_new(path, part.descriptor);
      }
    }
    if (created != INVALID_HANDLE_VALUE) {
      *file = wrap(created);
      return Created::Yes;
    }
    // A name being deleted denies every open until its last handle closes.
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED
               ? Created::NameTaken
               : Created::Failed;
  }

  Handle open_rule_file(const std::string& path, int* error) override {
    std::wstring full;
    if (!full_path(path, &full)) {
      *error = ENOENT;
      return kNoHandle;
    }
    HANDLE file = CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    *error = file == INVALID_HANDLE_VALUE ? errno_of(GetLastError()) : EACCES;  // a directory is denied
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK) return wrap(file);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return kNoHandle;
  }

  int32_t read(Handle file, char* buffer, int32_t size) override {
    DWORD count = 0;
    if (ReadFile(native(file), buffer, static_cast<DWORD>(size), &count, nullptr)) return static_cast<int32_t>(count);
    errno = errno_of(GetLastError());
    return -1;
  }

  bool rewind(Handle file) override { return SetFilePointerEx(native(file), LARGE_INTEGER{}, nullptr, FILE_BEGIN); }

  int32_t write(Handle file, const char* bytes, int32_t count) override {
    DWORD written = 0;
    return WriteFile(native(file), bytes, static_cast<DWORD>(count), &written, nullptr) ? static_cast<int32_t>(written)
                                                                                        : -1;
  }

  bool copy_start(Handle from, Handle to, int64_t count) override {
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(native(from), LARGE_INTEGER{}, &position, FILE_CURRENT) || !rewind(from)) return false;
    std::vector<char> buffer(1 << 16);
    bool copied = true;
    for (int64_t done = 0; copied && done < count;) {
      auto want = static_cast<int32_t>(std::min<int64_t>(count - done, static_cast<int64_t>(buffer.size())));
      copied = read_fully(*this, from, buffer.data(), want) == want && write_fully(*this, to, buffer.data(), want);
      done += want;
    }
    return SetFilePointerEx(native(from), position, nullptr, FILE_BEGIN) && copied;
  }

  bool flush(Handle file) override { return FlushFileBuffers(native(file)) != 0; }

  Access copy_access(Handle from, Handle to) override {
    FileStatus status{};
    DWORD attributes = 0;
    FILE_BASIC_INFO basic{};  // zero times and attributes mean "leave as is"
    if (!status_of_native(native(from), &status, &attributes)) return Access::NotCarried;
    basic.FileAttributes = attributes & kKeptAttributes;
    if (!SetFileInformationByHandle(native(to), FileBasicInfo, &basic, sizeof basic)) return Access::NotCarried;
    if (!keeps_access_lists(native(from))) return Access::Copied;
    Security wanted(native(from), OWNER_SECURITY_INFORMATION);
    Security given(native(to), OWNER_SECURITY_INFORMATION);
    return wanted.owner != nullptr && given.owner != nullptr && EqualSid(wanted.owner, given.owner)
               ? Access::Copied
               : Access::NotCarried;
  }

  // Renamed through its own handle: nobody else may rename or delete it, so
  // the file moved is the one written.
  Opened move_over(Handle directory, Handle temp, const std::string&, const std::string& base) override {
    std::wstring target = object(directory).path + wide(base);
    std::size_t bytes = offsetof(FILE_RENAME_INFO, FileName) + (target.size() + 1) * sizeof(wchar_t);
    std::vector<FILE_RENAME_INFO> rename(bytes / sizeof(FILE_RENAME_INFO) + 1);
    rename[0].ReplaceIfExists = TRUE;
    rename[0].RootDirectory = nullptr;
    rename[0].FileNameLength = static_cast<DWORD>(target.size()) * DWORD{sizeof(wchar_t)};
    std::copy(target.begin(), target.end(), rename[0].FileName);
    rename[0].FileName[target.size()] = L'\0';
    if (!SetFileInformationByHandle(native(temp), FileRenameInfo, rename.data(), static_cast<DWORD>(bytes))) {
      DWORD error = GetLastError();
      return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? Opened::Busy : Opened::Failed;
    }
    (void)FlushFileBuffers(native(temp));  // commits the new name with the file
    return Opened::Yes;
  }

  void remove(Handle, Handle file, const std::string&) override {
    FILE_DISPOSITION_INFO disposition{TRUE};
    (void)SetFileInformationByHandle(native(file), FileDispositionInfo, &disposition, sizeof disposition);
  }

  bool sync_directory(Handle) override { return true; }  // each file is flushed with its new name

  void close(Handle handle) override {
    Object* closed = &object(handle);
    if (closed->mutex) ReleaseMutex(closed->handle);
    CloseHandle(closed->handle);
    delete closed;
  }

  void sleep_ms(int milliseconds) override { Sleep(static_cast<DWORD>(milliseconds)); }

  int64_t wall_clock_ns() override {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) * 100;
  }

  uint64_t random() override {
    uint64_t number = 0;
    if (!RtlGenRandom(&number, sizeof number)) number = static_cast<uint64_t>(wall_clock_ns()) ^ GetCurrentProcessId();
    return number;
  }
};

}  // namespace

FileSystem& system_files() {
  static WindowsFiles files;
  return files;
}

}  // namespace platform
