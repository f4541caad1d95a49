#include "platform/console_window.h"

namespace platform {

bool waits_for_enter(const ConsoleFacts& facts) {
  return facts.attached_processes == 1 && facts.input_is_console && facts.output_is_console;
}

}  // namespace platform
