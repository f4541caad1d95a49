#include "app/correct_files.h"

#include <algorithm>
#include <vector>

#include "app/messages.h"
#include "rewrite/stream.h"

namespace {

using platform::FileStatus;
using platform::FileSystem;
using platform::Handle;
using platform::kNoHandle;
using platform::Stream;

// Waiting polls at this interval: short enough that a run goes on soon after
// the other one is done, long enough not to spin.
constexpr int kPollMs = 20;
// A file just replaced by another run, or looked at by another program (a
// virus scanner), may refuse to be opened or moved over for a moment; a
// program that keeps it open refuses for longer than this, and the file is
// left as it is.
constexpr int kBusyMs = 1000;
// Names tried for the temporary file before giving up: each is new, so only
// files that someone made to match it (or a system that cannot create any)
// make a name fail, and this many in a row are no chance.
constexpr int kNameAttempts = 16;
// Directories whose new entries wait to be synced together; the bound keeps
// the open handles few when many directories take part.
constexpr std::size_t kMaxPendingDirectories = 64;

// A handle closed when it goes out of scope.
struct Owned {
  FileSystem& files;
  Handle handle = kNoHandle;
  explicit Owned(FileSystem& owner) : files(owner) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }
  void reset() {
    if (handle != kNoHandle) files.close(handle);
    handle = kNoHandle;
  }
};

// The temporary file that a named file is rewritten into, beside it: removed
// unless it was moved into the file's place.
struct TempFile {
  FileSystem& files;
  Handle directory = kNoHandle;
  Handle handle = kNoHandle;
  std::string name;
  bool moved = false;
  explicit TempFile(FileSystem& owner) : files(owner) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (moved) {
      files.close(handle);
    } else {
      discard();
    }
  }
  void discard() {
    if (handle == kNoHandle || moved) return;
    files.remove(directory, handle, name);
    files.close(handle);
    handle = kNoHandle;
  }
};

bool correctable(const FileStatus& status) { return status.kind == platform::FileKind::Regular && status.writable; }

// "quorbel-", ten letters or digits of `number`, ".tmp": one of 36^10 names,
// in one letter case so that no file system folds two of them into one.
std::string temp_name(uint64_t number) {
  std::string name = "quorbel-";
  for (int i = 0; i < 10; ++i, number /= 36) name += "abcdefghijklmnopqrstuvwxyz0123456789"[number % 36];
  return name + ".tmp";
}

// A file named on the command line, on its way through the run.
struct NamedFile {
  NamedFile(FileSystem& system, RuleTables* run_tables, const std::string& given)
      : files(system), tables(run_tables), name(given) {}
  FileSystem& files;
  RuleTables* tables;
  const std::string& name;  // as given
  Owned directory{files};
  std::string base;  // the file's name in `directory`, links followed
  FileStatus status{};
  Owned lock{files};
  Owned file{files};
  TempFile temp{files};
  // The file's bytes classified as they are read, while the rules they get
  // may still depend on them.
  TextClassifier classifier{};
  bool classifying = false;
  bool other_rules = false;  // the stream stopped: the file may need the rules in another encoding
  bool rules_left_out = false;
};

// Takes the file for this run: a run on the same file, under whatever name
// and from whatever directory, waits until this one is done with it and then
// reads what it left. A file that another run replaced meanwhile is taken in
// its new form.
bool take(NamedFile* c) {
  bool said = false;
  int busy = 0;
  for (int waited = 0;; waited += kPollMs) {
    // Looked at by the caller before the first round.
    if (waited > 0 && (!c->files.look(c->directory.handle, c->base, &c->status) || !correctable(c->status))) {
      return false;
    }
    platform::Lock lock = c->files.try_lock(c->directory.handle, c->base, c->status.id, &c->lock.handle);
    if (lock == platform::Lock::Failed) return false;
    FileStatus now{};
    if (lock == platform::Lock::Taken && c->files.look(c->directory.handle, c->base, &now) &&
        now.id == c->status.id) {
      platform::Opened opened = c->files.open_file(c->directory.handle, c->base, c->lock.handle, &c->file.handle);
      if (opened == platform::Opened::Failed || (opened == platform::Opened::Busy && (busy += kPollMs) > kBusyMs)) {
        return false;
      }
      if (opened == platform::Opened::Yes && c->files.status_of(c->file.handle, &now) && now.id == c->status.id) {
        return true;
      }
    }
    c->file.reset();
    c->lock.reset();
    if (waited >= kLongestWaitMs) return false;
    if (!said && waited >= kQuietWaitMs) {
      print(Stream::Err, text::kWaiting, {c->name});
      said = true;
    }
    c->files.sleep_ms(kPollMs);
  }
}

int32_t read_named(void* context, char* buffer, int32_t size) {
  auto* c = static_cast<NamedFile*>(context);
  int32_t count = platform::read_fully(c->files, c->file.handle, buffer, size);
  if (count < 0 || !c->classifying) return count;
  classify(&c->classifier, buffer, static_cast<std::size_t>(count));
  c->other_rules = may_need_other_rules(c->classifier, count < size);  // a short read is the end
  c->classifying = !c->other_rules && !settled(c->classifier);
  return c->other_rules ? -1 : count;
}

// At the first change: the temporary file, under a name of this run's own,
// with the bytes before the change.
bool begin_temp(void* context, int64_t unchanged) {
  auto* c = static_cast<NamedFile*>(context);
  platform::Created created = platform::Created::NameTaken;
  for (int attempt = 0; attempt < kNameAttempts && created == platform::Created::NameTaken; ++attempt) {
    c->temp.name = temp_name(c->files.random());
    created = c->files.create_exclusive(c->directory.handle, c->temp.name, c->file.handle, &c->temp.handle);
  }
  if (created != platform::Created::Yes) {
    c->temp.handle = kNoHandle;
    return false;
  }
  return c->files.copy_start(c->file.handle, c->temp.handle, unchanged);
}

bool write_temp(void* context, const char* bytes, int32_t count) {
  auto* c = static_cast<NamedFile*>(context);
  return platform::write_fully(c->files, c->temp.handle, bytes, count);
}

// Whether `name` in the file's directory still is the open `file`.
bool still_named(NamedFile* c, const std::string& name, Handle file) {
  FileStatus named{};
  FileStatus opened{};
  return c->files.look(c->directory.handle, name, &named) && c->files.status_of(file, &opened) && named.id == opened.id;
}

// Puts the temporary file in the named file's place once its content is
// durable and it grants exactly the named file's access, and only while both
// names still lead where they did.
const char* replace(NamedFile* c) {
  if (!c->files.flush(c->temp.handle)) return text::kCannotWrite;
  if (c->files.copy_access(c->file.handle, c->temp.handle) != platform::Access::Copied ||
      !still_named(c, c->temp.name, c->temp.handle) || !still_named(c, c->base, c->file.handle)) {
    return text::kCannotMove;
  }
  c->file.reset();  // an open file cannot be replaced on Windows; the lock stays
  for (int waited = 0;; waited += kPollMs) {
    platform::Opened moved = c->files.move_over(c->directory.handle, c->temp.handle, c->temp.name, c->base);
    if (moved == platform::Opened::Yes) break;
    if (moved == platform::Opened::Failed || waited >= kBusyMs) return text::kCannotMove;
    c->files.sleep_ms(kPollMs);
  }
  c->temp.moved = true;
  return nullptr;
}

// Reads on until the file's class settles which rules it gets, then goes
// back to its start. The message when the file is to be left as it is.
const char* choose_rules(NamedFile* c, const RuleTable** table) {
  static char chunk[kLargeWindowSize];
  int32_t count = kLargeWindowSize;
  while (count == kLargeWindowSize && !settled(c->classifier)) {
    count = platform::read_fully(c->files, c->file.handle, chunk, kLargeWindowSize);
    if (count < 0) return text::kCannotRead;
    classify(&c->classifier, chunk, static_cast<std::size_t>(count));
  }
  if (!c->files.rewind(c->file.handle)) return text::kCannotRead;
  TableChoice choice = table_for(c->tables, class_so_far(c->classifier));
  c->rules_left_out = choice.rules_left_out;
  *table = choice.table;
  return choice.no_memory ? text::kNoMemory : nullptr;
}

StreamResult stream(NamedFile* c, const RuleTable& table) {
  return rewrite_stream(table, ByteSource{c, read_named}, ByteSink{c, begin_temp, write_temp}, kLargeWindowSize);
}

// The message for one named file, or null when it was corrected or needed no
// correction.
const char* correct_file(NamedFile* c) {
  c->directory.handle = c->files.open_directory_of(c->name, &c->base);
  if (c->directory.handle == kNoHandle || !c->files.look(c->directory.handle, c->base, &c->status) ||
      !correctable(c->status)) {
    return text::kCannotOpen;
  }
  c->temp.directory = c->directory.handle;
  if (!c->files.holds_files_safely(c->directory.handle)) return text::kCannotCreate;
  if (!take(c)) return text::kCannotOpen;
  print(Stream::Out, text::kAnalysing, {c->name});
  // Streamed with the rules as written while its bytes are classified on the
  // way: a file in their encoding is read once. One that may need them in its
  // other encoding is classified to its end, then streamed again.
  c->classifying = c->tables->rules_class != TextClass::Ascii;
  c->classifier = start_classifying(c->tables->rules_class);
  StreamResult result = stream(c, c->tables->as_written);
  if (c->other_rules) {
    c->temp.discard();
    c->classifying = false;
    const RuleTable* table = nullptr;
    if (const char* failure = choose_rules(c, &table)) return failure;
    if (table == nullptr) return nullptr;  // not one rule in the file's encoding
    result = stream(c, *table);
  }
  switch (result) {
    case StreamResult::Unchanged:
      return nullptr;  // nothing to replace: the file keeps its times, links and attributes
    case StreamResult::ReadFailed:
      return text::kCannotRead;
    case StreamResult::WriteFailed:  // only the temporary file is written: it could not be made, or not written
      return c->temp.handle == kNoHandle ? text::kCannotCreate : text::kCannotWrite;
    case StreamResult::Rewritten:
      break;
  }
  return replace(c);
}

// Directories that received a file, synced together before the run ends,
// each once.
struct PendingDirectory {
  platform::FileId id;
  Handle handle;
};

void sync_all(FileSystem& files, std::vector<PendingDirectory>* pending) {
  for (const PendingDirectory& directory : *pending) {
    // The files are in place by now: a directory that cannot be synced is no
    // failure of theirs.
    (void)files.sync_directory(directory.handle);
    files.close(directory.handle);
  }
  pending->clear();
}

void remember_directory(NamedFile* c, std::vector<PendingDirectory>* pending) {
  FileStatus status{};
  if (!c->files.status_of(c->directory.handle, &status)) {
    (void)c->files.sync_directory(c->directory.handle);  // not known to be pending: now, then
    return;
  }
  auto same = [&status](const PendingDirectory& directory) { return directory.id == status.id; };
  if (std::any_of(pending->begin(), pending->end(), same)) return;
  if (pending->size() == kMaxPendingDirectories) sync_all(c->files, pending);
  pending->push_back({status.id, c->directory.handle});
  c->directory.handle = kNoHandle;
  c->temp.directory = kNoHandle;
}

}  // namespace

bool correct_files(FileSystem& files, RuleTables* tables, const std::vector<std::string>& names) {
  std::vector<PendingDirectory> pending;
  bool all_corrected = true;
  for (const std::string& name : names) {
    NamedFile named(files, tables, name);
    const char* failure = correct_file(&named);
    if (failure != nullptr) {
      print(failure == text::kNoMemory ? Stream::Err : Stream::Out, failure, {name});
      all_corrected = false;
      continue;
    }
    if (named.temp.moved) remember_directory(&named, &pending);
    if (named.rules_left_out) print(Stream::Out, text::kRulesLeftOut, {name});
  }
  sync_all(files, &pending);
  print(Stream::Out, text::kDone);
  return all_corrected;
}
