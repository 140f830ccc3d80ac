#pragma once
// The application's main loop: launch sequence, requests from the desktop, termination.

namespace brennick {

// Runs the player with the process arguments (files and URLs; there are no options) and returns
// the exit status.
int runApplication(int argc, char** argv);

}  // namespace brennick
