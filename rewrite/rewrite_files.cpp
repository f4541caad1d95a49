#include "rewrite/rewrite_files.h"

#include <algorithm>

#include "app/messages.h"
#include "platform/replace_file.h"
#include "rewrite/stream.h"

namespace {

using platform::Stream;

void rewrite_file(const RuleTable& table, const char* name, bool temp_is_named) {
  platform::InputFile input{};
  if (!platform::open_input(name, &input)) {
    print(Stream::Out, text::kCannotOpen, name);
    return;
  }
  platform::TempFile temp{};
  if (temp_is_named || platform::create_temp(kTempFileName, input, &temp) != platform::TempResult::Created) {
    platform::close_input(&input);
    print(Stream::Out, text::kCannotCreate, name);
    return;
  }
  print(Stream::Out, text::kAnalysing, name);
  StreamResult streamed = rewrite_stream(table, input.handle, temp.handle, kLargeWindowSize);
  platform::close_input(&input);
  if (streamed == StreamResult::ReadFailed) {
    platform::discard_temp(&temp);
    print(Stream::Out, text::kCannotRead, name);
  } else if (streamed == StreamResult::WriteFailed || !platform::sync_temp(temp)) {
    platform::discard_temp(&temp);
    print(Stream::Out, text::kCannotWrite, name);
  } else if (!platform::replace_with_temp(&temp, input)) {
    platform::discard_temp(&temp);
    print(Stream::Out, text::kCannotMove, name);
  }
}

}  // namespace

void rewrite_files(const RuleTable& table, const std::vector<std::string>& names) {
  // A temporary file named on the command line is the user's: using it for
  // any file of this run would destroy it.
  bool temp_is_named = std::any_of(names.begin(), names.end(), [](const std::string& name) {
    return platform::same_file(name.c_str(), kTempFileName);
  });
  for (const std::string& name : names) rewrite_file(table, name.c_str(), temp_is_named);
  print(Stream::Out, text::kDone);
}
