#pragma once

// How `tallylog forward` runs once its options are read. The delivering code links Qt Network
// and its libraries, which every other command would otherwise load at each start for nothing:
// it lives in a program of its own, tallylog-forward, installed in libexec. tallylog's own
// runForward (ForwardHandOver.cpp) replaces the process by that program, with the same command
// line and process id; the program's runForward (ForwardRun.cpp) delivers.

#include "forward/ForwardAddress.h"
#include "forward/ForwardEncoding.h"
#include "forward/Forwarder.h"

namespace TallyLog {

// The exit status of the forwarding.
int runForward(const ForwardOptions &options, const ForwardAddress &address,
               const ForwardIdentity &identity);

} // namespace TallyLog
