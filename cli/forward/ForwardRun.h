#pragma once

// How `tallylog forward` runs once its options are read. The delivering code links Qt Network
// and its libraries, which every other command would otherwise load at each start for nothing:
// it lives in a program of its own, tallylog-forward, installed in libexec. Each program's main
// passes its runner to the command table: tallylog hands over (handOverForward), tallylog-forward
// delivers (deliverForward).

namespace TallyLog {

struct ForwardAddress;  // forward/ForwardAddress.h
struct ForwardIdentity; // forward/ForwardEncoding.h
struct ForwardOptions;  // forward/Forwarder.h

// Runs the forwarding; returns the exit status.
using ForwardRunner = int (*)(const ForwardOptions &options, const ForwardAddress &address,
                              const ForwardIdentity &identity);

// tallylog's (ForwardHandOver.cpp): replaces the process by tallylog-forward, with the same
// command line and process id; returns only when that program cannot be started.
int handOverForward(const ForwardOptions &options, const ForwardAddress &address,
                    const ForwardIdentity &identity);

// tallylog-forward's (ForwardRun.cpp): delivers, until stopped or (with --once) done.
int deliverForward(const ForwardOptions &options, const ForwardAddress &address,
                   const ForwardIdentity &identity);

} // namespace TallyLog
