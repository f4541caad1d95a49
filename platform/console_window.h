#pragma once
// Whether the usage text waits for ENTER. Plain code, built on every system
// so that the decision is tested everywhere.

namespace platform {

// What Windows tells of the console a process runs in.
struct ConsoleFacts {
  unsigned long attached_processes;  // GetConsoleProcessList's count; 0 without a console
  bool input_is_console;
  bool output_is_console;
};

// True only where the console is the process's own, as Windows makes one for
// a program started from Explorer: its window closes when the process ends,
// before anyone has read the text. A shell, a batch file (each a process on
// the console too) or a redirected stream never waits.
bool waits_for_enter(const ConsoleFacts& facts);

}  // namespace platform
