#include "platform/replace_file.h"

#include <vector>

namespace platform {

namespace {

// What a rewritten file keeps of the original's attributes; read-only files
// are refused before, and the rest describes the new content, not the file.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kRetryMilliseconds = 50;
// A file being deleted denies every open until its last handle closes, which
// takes a moment when another run discards its temporary file.
constexpr int kAccessDeniedRetries = 20;

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool full_path(const char* name, std::string* path) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFullPathNameA(name, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return false;
    if (length < buffer.size()) {
      path->assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length);
  }
}

std::string directory_of(const std::string& path) {
  std::string::size_type slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A plain file with one name, nothing a planted link or directory could
// redirect a write through.
TempResult check_temp(HANDLE file, const InputFile& input) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return TempResult::Failed;
  if (same_file(info, input.info)) return TempResult::NamesInput;
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
  if ((info.dwFileAttributes & refused) != 0 || info.nNumberOfLinks != 1) return TempResult::Failed;
  return TempResult::Created;
}

// Whether the temporary file is only busy: held by another run (wait for it
// as long as it takes) or being deleted (a moment).
bool wait_for_temp(DWORD error, int* denied) {
  if (error != ERROR_SHARING_VIOLATION && !(error == ERROR_ACCESS_DENIED && ++*denied < kAccessDeniedRetries)) {
    return false;
  }
  Sleep(kRetryMilliseconds);
  return true;
}

bool copy_attributes(HANDLE file, const InputFile& input) {
  FILE_BASIC_INFO basic{};  // zero times and attributes mean "leave as is"
  basic.FileAttributes = input.info.dwFileAttributes & kKeptAttributes;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// A move to another volume would copy over the target in place: copy into a
// new file beside the target instead, and move that over it in one step.
bool replace_across_volumes(const TempFile& temp, const InputFile& input) {
  std::string staging = directory_of(input.target) + "\\quorbel.tmp-" + std::to_string(GetCurrentProcessId());
  HANDLE file = CreateFileA(staging.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER start{};
  bool copied = SetFilePointerEx(temp.handle, start, nullptr, FILE_BEGIN) != 0;
  std::vector<char> buffer(1 << 16);
  while (copied) {
    int32_t count = read_input(temp.handle, buffer.data(), static_cast<int32_t>(buffer.size()));
    if (count < 0 || !write_all(file, buffer.data(), count)) copied = false;
    if (count < static_cast<int32_t>(buffer.size())) break;
  }
  copied = copied && FlushFileBuffers(file) != 0 && copy_attributes(file, input);
  if (!CloseHandle(file)) copied = false;
  if (!copied ||
      !MoveFileExA(staging.c_str(), input.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(staging.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool open_input(const char* name, InputFile* input) {
  // Device names (NUL, CON, COM1, also with a directory or an extension) come
  // back as \\.\ paths; opening one can block or have effects.
  if (!full_path(name, &input->target) || input->target.compare(0, 4, "\\\\.\\") == 0) return false;
  // Without write sharing nobody changes the file while it is read; without
  // delete sharing nobody moves it away.
  HANDLE file = CreateFileA(input->target.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &input->info) ||
      (input->info.dwFileAttributes & refused) != 0) {
    CloseHandle(file);
    return false;
  }
  input->handle = file;
  return true;
}

void close_input(InputFile* input) { CloseHandle(input->handle); }

TempResult create_temp(const char* name, const InputFile& input, TempFile* temp) {
  int denied = 0;
  for (;;) {
    // Look without taking any access first: opening our own input, or a file
    // another run holds, for writing would be a sharing violation.
    HANDLE probe = CreateFileA(name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      TempResult found = check_temp(probe, input);
      CloseHandle(probe);
      if (found != TempResult::Created) return found;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      if (wait_for_temp(GetLastError(), &denied)) continue;
      return TempResult::Failed;
    }
    // The share mode keeps other runs out until this one has moved the file
    // away; the move, and a copy to another volume, need delete and read.
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (wait_for_temp(GetLastError(), &denied)) continue;
      return TempResult::Failed;
    }
    // The name may have changed hands since the look: check the open file.
    TempResult result = check_temp(file, input);
    LARGE_INTEGER start{};
    if (result != TempResult::Created || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
      CloseHandle(file);
      return result == TempResult::Created ? TempResult::Failed : result;
    }
    temp->handle = file;
    temp->name = name;
    return TempResult::Created;
  }
}

int32_t read_input(FileHandle file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    DWORD count = 0;
    if (!ReadFile(file, buffer + filled, static_cast<DWORD>(size - filled), &count, nullptr)) return -1;
    if (count == 0) break;
    filled += static_cast<int32_t>(count);
  }
  return filled;
}

bool write_all(FileHandle file, const char* bytes, int32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= static_cast<int32_t>(written);
  }
  return true;
}

bool sync_temp(const TempFile& temp) { return FlushFileBuffers(temp.handle) != 0; }

bool replace_with_temp(TempFile* temp, const InputFile& input) {
  if (!copy_attributes(temp->handle, input)) return false;
  // No MOVEFILE_COPY_ALLOWED: across volumes that copies over the target in
  // place, and a failure half-way would destroy it.
  if (!MoveFileExA(temp->name, input.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    if (GetLastError() != ERROR_NOT_SAME_DEVICE || !replace_across_volumes(*temp, input)) return false;
    DeleteFileA(temp->name);
  }
  // Closing lets the next run in: only now may it take the name.
  CloseHandle(temp->handle);
  return true;
}

bool same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  const char* names[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    // No access asked, so a file another run holds can still be looked at.
    HANDLE file = CreateFileA(names[i], 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool known = GetFileInformationByHandle(file, &info[i]) != 0;
    CloseHandle(file);
    if (!known) return false;
  }
  return same_file(info[0], info[1]);
}

void discard_temp(TempFile* temp) {
  // Deleted while still held, so the name cannot meanwhile be another run's.
  DeleteFileA(temp->name);
  CloseHandle(temp->handle);
}

}  // namespace platform
