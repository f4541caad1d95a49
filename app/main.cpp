#include <cstdio>

#include "app/messages.h"
#include "app/run.h"
#include "platform/files.h"
#include "platform/process.h"
#include "rules/allocation.h"

int main(int argc, char** argv) {
  if (!platform::setup_process()) return 1;
  set_up_streams();
  obtain_memory_from(platform::obtain_memory);
  const char* started_as = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  int status = run(platform::system_files(), platform::program_path(started_as), started_as,
                   platform::file_arguments(argc, argv), QUORBEL_SEPARATOR);
  (void)std::fflush(stdout);  // what is pending; a failure has no one left to tell
  return status;
}
