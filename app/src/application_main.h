// The host's application main: wires the Linux platform services, the
// interface description's classes and the UI bridge, then runs the main loop.
#pragma once

namespace vellumark {

// Returns the process's exit status.
int ApplicationMain(int argc, char** argv);

}  // namespace vellumark
