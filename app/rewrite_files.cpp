#include "app/rewrite_files.h"

#include <algorithm>
#include <vector>

#include "app/messages.h"
#include "platform/files.h"
#include "rewrite/stream.h"

namespace {

using platform::Stream;

int32_t read_from(void* file, char* buffer, int32_t size) {
  return platform::read_file(*static_cast<platform::FileHandle*>(file), buffer, size);
}

bool write_to(void* file, const char* bytes, int32_t count) {
  return platform::write_file(*static_cast<platform::FileHandle*>(file), bytes, count);
}

// A rename cannot cross volumes: copy the complete content into a staging
// file beside the named file, and move that over it instead.
bool move_through_staging(platform::TempFile* temp, const platform::InputFile& input) {
  platform::TempFile staging{};
  if (platform::create_temp(input.directory, kStagingFileName, &input.id, &staging) != platform::TempResult::Created) {
    return false;
  }
  std::vector<char> buffer(1 << 16);
  bool copied = platform::rewind_file(temp->handle);
  for (int32_t count = static_cast<int32_t>(buffer.size()); copied && count == static_cast<int32_t>(buffer.size());) {
    count = platform::read_file(temp->handle, buffer.data(), count);
    copied = count >= 0 && platform::write_file(staging.handle, buffer.data(), count);
  }
  if (!copied || !platform::sync_temp(staging) ||
      platform::move_over_input(&staging, input) != platform::MoveResult::Moved) {
    platform::discard_temp(&staging);
    return false;
  }
  platform::discard_temp(temp);
  return true;
}

// Puts the complete temporary file in the input's place; the temporary file
// is gone afterwards, whatever the outcome.
const char* replace_input(platform::TempFile* temp, const platform::InputFile& input) {
  if (!platform::sync_temp(*temp)) {
    platform::discard_temp(temp);
    return text::kCannotWrite;
  }
  switch (platform::move_over_input(temp, input)) {
    case platform::MoveResult::Moved:
      return nullptr;
    case platform::MoveResult::OtherVolume:
      if (move_through_staging(temp, input)) return nullptr;
      break;
    case platform::MoveResult::Failed:
      break;
  }
  platform::discard_temp(temp);
  return text::kCannotMove;
}

// The temporary file comes first: a run that waited for another one then
// reads the file as the other left it.
void rewrite_file(const RuleTable& table, const char* name, platform::Directory* current, bool temp_is_named) {
  platform::TempFile temp{};
  platform::InputFile input{};
  if (temp_is_named || current == nullptr ||
      platform::create_temp(*current, kTempFileName, nullptr, &temp) != platform::TempResult::Created) {
    // Without a temporary file no file is opened for long: only to tell
    // which of the two failures the user sees.
    bool opens = platform::open_input(name, &input);
    if (opens) {
      platform::close_input(&input);
      platform::close_directory(&input.directory);
    }
    print(Stream::Out, opens ? text::kCannotCreate : text::kCannotOpen, name);
    return;
  }
  if (!platform::open_input(name, &input)) {
    platform::discard_temp(&temp);
    print(Stream::Out, text::kCannotOpen, name);
    return;
  }
  if (input.id == temp.id) {  // the name was made to lead to the temporary file meanwhile
    platform::close_input(&input);
    platform::close_directory(&input.directory);
    platform::discard_temp(&temp);
    print(Stream::Out, text::kCannotCreate, name);
    return;
  }
  print(Stream::Out, text::kAnalysing, name);
  ByteSource source{&input.handle, read_from};
  ByteSink sink{&temp.handle, write_to};
  StreamResult streamed = rewrite_stream(table, source, sink, kLargeWindowSize);
  platform::close_input(&input);
  const char* failure = nullptr;
  if (streamed != StreamResult::Done) {
    platform::discard_temp(&temp);
    failure = streamed == StreamResult::ReadFailed ? text::kCannotRead : text::kCannotWrite;
  } else {
    failure = replace_input(&temp, input);
  }
  platform::close_directory(&input.directory);
  if (failure != nullptr) print(Stream::Out, failure, name);
}

}  // namespace

void rewrite_files(const RuleTable& table, const std::vector<std::string>& names) {
  // A temporary file named on the command line is the user's: using it for
  // any file of this run would destroy it.
  bool temp_is_named = std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return platform::same_file(name.c_str(), kTempFileName);
  });
  platform::Directory current{};
  bool have_current = platform::open_current_directory(&current);
  for (const std::string& name : names)
    rewrite_file(table, name.c_str(), have_current ? &current : nullptr, temp_is_named);
  print(Stream::Out, text::kDone);
}
