#include "app/correct_files.h"

#include <set>

#include "app/messages.h"
#include "platform/files.h"
#include "rewrite/stream.h"

namespace {

using platform::Stream;

// How long a run waits for another one before it says that it waits.
constexpr int kQuietWaitMilliseconds = 2000;

// Waits through `attempt` (lock or create_temp with a patience), saying once
// that it waits when the other run takes long.
template <typename Attempt>
platform::Wait wait_for(const platform::NamedFile& file, Attempt attempt) {
  platform::Wait waited = attempt(kQuietWaitMilliseconds);
  if (waited != platform::Wait::StillBusy) return waited;
  print(Stream::Err, text::kWaiting, {platform::temp_path(file, kTempFileName)});
  return attempt(-1);
}

// The stream's ends: the named file, and the temporary file made at the first
// change, which the bytes the output shares with the input are copied into.
struct Correction {
  platform::NamedFile* file;
  platform::TempFilePtr temp;
  const char* failure;  // the message for a failed begin or write
};

int32_t read_named(void* context, char* buffer, int32_t size) {
  return platform::read(*static_cast<Correction*>(context)->file, buffer, size);
}

bool begin_temp(void* context, int64_t unchanged) {
  auto* correction = static_cast<Correction*>(context);
  platform::NamedFile& file = *correction->file;
  auto create = [&](int patience) { return platform::create_temp(file, kTempFileName, patience, &correction->temp); };
  if (wait_for(file, create) != platform::Wait::Done) {
    correction->failure = text::kCannotCreate;
    return false;
  }
  correction->failure = text::kCannotWrite;
  return platform::copy_start(file, *correction->temp, unchanged);
}

bool write_temp(void* context, const char* bytes, int32_t count) {
  return platform::write(*static_cast<Correction*>(context)->temp, bytes, count);
}

// The file's encoding picks its rules. The file is read as far as it takes
// to tell which, and then from its start again. A message when it is to be
// left as it is (kNoMemory goes to standard error).
const char* choose_table(RuleTables* tables, platform::NamedFile& file, TableChoice* choice) {
  // As large as the stream's reads, which takes most of the system calls'
  // cost out and still leaves the chunk in the cache for the scan.
  constexpr int32_t kChunkSize = kLargeWindowSize;
  static char chunk[kChunkSize];
  TextClassifier classifier = start_classifying(tables->rules_class);
  bool read = false;
  int32_t count = kChunkSize;
  while (count == kChunkSize && !settled(classifier)) {
    count = platform::read(file, chunk, kChunkSize);
    if (count < 0) return text::kCannotRead;
    classify(&classifier, chunk, static_cast<std::size_t>(count));
    read = true;
  }
  if (read && !platform::rewind(file)) return text::kCannotRead;
  *choice = table_for(tables, class_so_far(classifier));
  return choice->no_memory ? text::kNoMemory : nullptr;
}

// The message for one named file, or null when it was corrected (or needed
// no correction); whether rules were left out of it in `rules_left_out`.
const char* correct_file(RuleTables* tables, const std::string& name, const std::set<std::string>& kept,
                         bool* rules_left_out) {
  platform::NamedFilePtr file = platform::open_named_file(name.c_str());
  if (file == nullptr) return text::kCannotOpen;
  if (kept.count(platform::directory_of(*file)) != 0 || !platform::may_hold_temp(*file, kTempFileName)) {
    return text::kCannotCreate;
  }
  // Taken before the first byte is read: a run that waited reads the file as
  // the other one left it.
  if (wait_for(*file, [&](int patience) { return platform::lock(*file, patience); }) != platform::Wait::Done) {
    return text::kCannotOpen;
  }
  print(Stream::Out, text::kAnalysing, {name});
  TableChoice choice{};
  if (const char* failure = choose_table(tables, *file, &choice)) return failure;
  *rules_left_out = choice.rules_left_out;
  if (choice.table == nullptr) return nullptr;  // no rule applies
  Correction correction{file.get(), nullptr, nullptr};
  switch (rewrite_stream(*choice.table, ByteSource{&correction, read_named},
                         ByteSink{&correction, begin_temp, write_temp}, kLargeWindowSize)) {
    case StreamResult::Unchanged:
      return nullptr;  // nothing to replace: the file keeps its times, links and attributes
    case StreamResult::ReadFailed:
      return text::kCannotRead;
    case StreamResult::WriteFailed:
      return correction.failure != nullptr ? correction.failure : text::kCannotWrite;
    case StreamResult::Rewritten:
      break;
  }
  switch (platform::replace(*file, std::move(correction.temp))) {
    case platform::Replaced::Yes:
      return nullptr;
    case platform::Replaced::NotWritten:
      return text::kCannotWrite;
    case platform::Replaced::NotMoved:
      break;
  }
  return text::kCannotMove;
}

}  // namespace

void correct_files(RuleTables* tables, const std::vector<std::string>& names) {
  // A file called like the temporary file and named on the command line is
  // the user's: no file beside it is corrected through it.
  std::set<std::string> kept;
  for (const std::string& name : names) {
    std::string directory;
    if (platform::names_temp_file(name.c_str(), kTempFileName, &directory)) kept.insert(directory);
  }
  for (const std::string& name : names) {
    bool rules_left_out = false;
    const char* failure = correct_file(tables, name, kept, &rules_left_out);
    if (failure != nullptr) {
      print(failure == text::kNoMemory ? Stream::Err : Stream::Out, failure, {name});
    } else if (rules_left_out) {
      print(Stream::Out, text::kRulesLeftOut, {name});
    }
  }
  platform::sync_directories();
  print(Stream::Out, text::kDone);
}
