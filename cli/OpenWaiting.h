#pragma once

#include "read/FileState.h"
#include "read/LogReader.h"
#include "text/Output.h"

#include <QElapsedTimer>
#include <QString>
#include <QThread>

namespace TallyLog {

// How long a command waits for a log file in a passing state, and how often it tries again.
constexpr int kOpenWaitMs = 5000;
constexpr int kOpenRetryMs = 200;

// Opens the log file at `path` through open() (of a LogReader or a LogPruner, `log`). A file in
// a passing state (a crashed writer's transaction not yet undone, a lock) is tried again for a
// few seconds; what it waits for is said once. Returns kExitDone, or kExitFailure once the
// reason is on standard error.
template <typename Log, typename Open> int openWaiting(Log &log, const QString &path, Open open)
{
    QElapsedTimer clock;
    clock.start();
    SystemLog::OnceSaid busy;
    bool said = false;
    while (!open()) {
        const bool late = clock.elapsed() >= kOpenWaitMs;
        if (!log.lastErrorIsTransient() || (late && !said))
            return failure(path, log.errorString());
        if (late)
            return failure(
                path, QStringLiteral("still busy after %1 s, giving up").arg(kOpenWaitMs / 1000));
        if (busy.isNew(QStringLiteral("waiting")))
            printLine(
                stderr,
                QStringLiteral("tallylog: %1: %2 (still trying)").arg(path, log.errorString()));
        said = true;
        QThread::msleep(kOpenRetryMs);
    }
    return kExitDone;
}

inline int openWaiting(SystemLog::LogReader &reader, const QString &path)
{
    return openWaiting(reader, path, [&] { return reader.open(path); });
}

} // namespace TallyLog
