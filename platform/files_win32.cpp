#include <vector>

#include "platform/files.h"

namespace platform {

namespace {

// What a rewritten file keeps of the original's attributes; read-only files
// are refused before, and the rest describes the new content, not the file.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kRetryMilliseconds = 50;
// A file being deleted denies every open until its last handle closes, which
// takes a moment when another run removes its temporary file.
constexpr int kAccessDeniedRetries = 20;

std::string path_in(const Directory& directory, const char* name) {
  return directory.path.empty() ? std::string(name) : directory.path + "\\" + name;
}

bool id_of(HANDLE file, FileId* id, BY_HANDLE_FILE_INFORMATION* info) {
  if (!GetFileInformationByHandle(file, info)) return false;
  *id = FileId{info->dwVolumeSerialNumber, info->nFileIndexHigh, info->nFileIndexLow};
  return true;
}

// The file at `path`, looked at without asking for any access, so that a
// file another run holds can still be looked at.
bool id_at(const char* path, DWORD flags, FileId* id) {
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  bool known = id_of(file, id, &info);
  CloseHandle(file);
  return known;
}

// Whether `path` is the file `id` itself, not a link to it.
bool names_file(const std::string& path, const FileId& id) {
  FileId found{};
  return id_at(path.c_str(), FILE_FLAG_OPEN_REPARSE_POINT, &found) && found == id;
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

// The path an open file really has, through any link on the way, so that a
// link stays a link and the file it leads to is replaced.
void resolve_links(HANDLE file, std::string* path) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFinalPathNameByHandleA(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length == 0) return;  // the path as given is the best known
    if (length < buffer.size()) {
      path->assign(buffer.data(), length);
      return;
    }
    buffer.resize(length + 1);
  }
}

bool mark_for_deletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

enum class Existing { Gone, Busy, Refused, IsInput };

// An existing temporary file that no run holds any more is stale and is
// removed, unless it is anything but a plain, writable file with one name.
Existing remove_stale(const std::string& path, const FileId* input) {
  // No sharing: a run that still holds the file makes this fail.
  HANDLE file = CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return Existing::Gone;
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? Existing::Busy : Existing::Refused;
  }
  FileId id{};
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY;
  Existing result = Existing::Refused;
  if (GetFileType(file) == FILE_TYPE_DISK && id_of(file, &id, &info) && (info.dwFileAttributes & refused) == 0 &&
      info.nNumberOfLinks == 1) {
    if (input != nullptr && id == *input) {
      result = Existing::IsInput;
    } else if (mark_for_deletion(file)) {
      result = Existing::Gone;
    }
  }
  CloseHandle(file);
  return result;
}

}  // namespace

// The C runtime refuses a directory itself (EACCES) and maps the system's
// failures to the errno values whose texts the report prints.
std::FILE* open_rule_file(const char* path) { return std::fopen(path, "rb"); }

bool open_current_directory(Directory* directory) {
  directory->path.clear();  // names without a directory are found in the current one
  return true;
}

void close_directory(Directory*) {}

bool open_input(const char* name, InputFile* input) {
  // Device names (NUL, CON, COM1, also with a directory or an extension) come
  // back as \\.\ paths; opening one can block or have effects.
  if (!full_path(name, &input->path) || input->path.compare(0, 4, "\\\\.\\") == 0) return false;
  // Without write sharing nobody changes the file while it is read; without
  // delete sharing nobody moves it or the directories above it away.
  HANDLE file = CreateFileA(input->path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !id_of(file, &input->id, &info) ||
      (info.dwFileAttributes & refused) != 0) {
    CloseHandle(file);
    return false;
  }
  resolve_links(file, &input->path);
  std::string::size_type slash = input->path.find_last_of("\\/");
  input->directory.path = input->path.substr(0, slash);
  input->name = input->path.substr(slash + 1);
  input->attributes = info.dwFileAttributes;
  input->handle = file;
  return true;
}

void close_input(InputFile* input) { CloseHandle(input->handle); }

bool still_named(const InputFile& input) { return names_file(input.path, input.id); }

TempResult create_temp(const Directory& directory, const char* name, const FileId* input, TempFile* temp) {
  std::string path = path_in(directory, name);
  int denied = 0;
  for (;;) {
    // New every time. The share mode keeps other runs out until this one
    // has moved the file away; the move, and a copy to another volume, need
    // delete and read.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info{};
      FileId id{};
      if (!id_of(file, &id, &info)) {
        mark_for_deletion(file);
        CloseHandle(file);
        return TempResult::Failed;
      }
      *temp = TempFile{file, &directory, name, id};
      return TempResult::Created;
    }
    DWORD error = GetLastError();
    Existing existing = Existing::Busy;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      existing = remove_stale(path, input);
    } else if (error != ERROR_ACCESS_DENIED) {
      return TempResult::Failed;
    }
    switch (existing) {
      case Existing::Gone:
        continue;
      case Existing::IsInput:
        return TempResult::NamesInput;
      case Existing::Refused:
        return TempResult::Failed;
      case Existing::Busy:
        // Held by another run: wait as long as it takes. Denied outright: a
        // moment, while another run's file is being deleted.
        if (error == ERROR_ACCESS_DENIED && ++denied >= kAccessDeniedRetries) return TempResult::Failed;
        Sleep(kRetryMilliseconds);
        continue;
    }
  }
}

int32_t read_file(FileHandle file, char* buffer, int32_t size) {
  int32_t filled = 0;
  while (filled < size) {
    DWORD count = 0;
    if (!ReadFile(file, buffer + filled, static_cast<DWORD>(size - filled), &count, nullptr)) return -1;
    if (count == 0) break;
    filled += static_cast<int32_t>(count);
  }
  return filled;
}

bool write_file(FileHandle file, const char* bytes, int32_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= static_cast<int32_t>(written);
  }
  return true;
}

bool rewind_file(FileHandle file) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != 0;
}

bool sync_temp(const TempFile& temp) { return FlushFileBuffers(temp.handle) != 0; }

MoveResult move_over_input(TempFile* temp, const InputFile& input) {
  std::string path = path_in(*temp->directory, temp->name);
  if (!names_file(path, temp->id) || !still_named(input)) return MoveResult::Failed;
  if (temp->id.volume != input.id.volume) return MoveResult::OtherVolume;
  FILE_BASIC_INFO basic{};  // zero times and attributes mean "leave as is"
  basic.FileAttributes = input.attributes & kKeptAttributes;
  if (!SetFileInformationByHandle(temp->handle, FileBasicInfo, &basic, sizeof basic)) return MoveResult::Failed;
  // No MOVEFILE_COPY_ALLOWED: across volumes that copies over the target in
  // place, and a failure half-way would destroy it.
  // A file that another process only looks at for a moment (another run
  // checking its names, a virus scanner) cannot be replaced meanwhile.
  for (int denied = 0;
       !MoveFileExA(path.c_str(), input.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);) {
    DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) return MoveResult::OtherVolume;
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || ++denied >= kAccessDeniedRetries) {
      return MoveResult::Failed;
    }
    Sleep(kRetryMilliseconds);
  }
  // Closing lets the next run in: only now may it take the name.
  CloseHandle(temp->handle);
  return MoveResult::Moved;
}

void discard_temp(TempFile* temp) {
  // Deleted through the handle, so the name cannot meanwhile be another run's.
  mark_for_deletion(temp->handle);
  CloseHandle(temp->handle);
}

bool same_file(const char* a, const char* b) {
  FileId first{};
  FileId second{};
  return id_at(a, 0, &first) && id_at(b, 0, &second) && first == second;
}

}  // namespace platform
