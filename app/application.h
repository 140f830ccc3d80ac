#pragma once
// The program's entry: informational options, the single-instance hand-over, then the
// application's main loop with its launch sequence, requests from the desktop and termination.

namespace brennick {

// Runs the program with the process arguments and returns the exit status (see command_line.h).
int runApplication(int argc, char** argv);

}  // namespace brennick
