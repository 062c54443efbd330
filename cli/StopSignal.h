#pragma once

// SIGINT and SIGTERM ask a long-running command (follow, forward) to stop at its next safe
// point instead of killing it, so that it can save its cursor file first.

#include <csignal>

namespace TallyLog {

inline volatile std::sig_atomic_t g_stopRequested = 0;

// From now on SIGINT and SIGTERM only set the request.
inline void catchStopSignals()
{
    struct sigaction action = {};
    action.sa_handler = [](int) { g_stopRequested = 1; };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

inline bool stopRequested()
{
    return g_stopRequested != 0;
}

} // namespace TallyLog
