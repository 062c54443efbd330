#pragma once

// SIGINT and SIGTERM ask a long-running command (follow, forward) to stop at its next safe
// point instead of killing it, so that it can save its cursor file first.

namespace TallyLog {

// From now on SIGINT and SIGTERM only set the request.
void catchStopSignals();
bool stopRequested();

} // namespace TallyLog
