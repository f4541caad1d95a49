#include "rewrite/rewrite_files.h"

#include "app/messages.h"
#include "platform/replace_file.h"
#include "rewrite/stream.h"

namespace {

using platform::Stream;

void rewrite_file(const RuleTable& table, const char* name) {
  platform::InputFile input{};
  if (!platform::open_input(name, &input)) {
    print(Stream::Out, text::kCannotOpen, name);
    return;
  }
  platform::TempFile temp{};
  if (platform::create_temp(kTempFileName, input, &temp) != platform::TempResult::Created) {
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
  for (const std::string& name : names) rewrite_file(table, name.c_str());
  print(Stream::Out, "%s", text::kDone);
}
