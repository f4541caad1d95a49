#include "platform/arguments.h"

namespace platform {

std::vector<std::string> file_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace platform
