#pragma once

#include <QtGlobal>

#include <chrono>

namespace SystemLog {

// Milliseconds on a monotonic clock: waits and bounds must not follow steps of the wall clock.
inline qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace SystemLog
