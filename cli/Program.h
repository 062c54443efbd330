#pragma once

// The entry point of tallylog and of tallylog-forward: sets up the command line and hands over to
// the command named on it. The two programs differ only in how `forward` runs, which each
// program's main passes in (forward/ForwardRun.h).

#include "forward/ForwardRun.h"

namespace TallyLog {

// The exit status of the program run with this command line.
int runProgram(int argc, char *argv[], ForwardRunner runForward);

} // namespace TallyLog
