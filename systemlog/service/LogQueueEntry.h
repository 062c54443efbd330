#pragma once

// A record on its way from the output hook to the file. Internal to the library.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <utility>

namespace SystemLog {

// The local time of `secs` since the epoch in kStampFormat, in the time zone in force now.
// Each thread keeps the text of the last second it was asked for.
QByteArray localStampText(qint64 secs);

// A record waiting to be stored: its message, its category and the moment it was logged, in
// whole seconds since the epoch, with the local time of that moment as it is stored: the zone
// may change while the record waits.
struct LogQueueEntry
{
    LogQueueEntry(QString text, int category, qint64 loggedAtSecs = currentSecond())
        : message(std::move(text)), type(category), loggedAt(loggedAtSecs),
          stamp(localStampText(loggedAtSecs))
    {
    }

    // The current time, cut to its second. A precise clock: a coarse one can lag a few
    // milliseconds and stamp a record logged just after a full second with the one before.
    static qint64 currentSecond()
    {
        using namespace std::chrono;
        return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    }

    QString message;
    int type;
    qint64 loggedAt;
    QByteArray stamp;
};

} // namespace SystemLog
