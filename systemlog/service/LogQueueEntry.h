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

// A record waiting to be stored: its message as the UTF-8 bytes that are stored (see
// storedUtf8), its category and the moment it was logged, in whole seconds since the epoch, with
// the local time of that moment as it is stored: the zone may change while the record waits.
struct LogQueueEntry
{
    LogQueueEntry(QByteArray utf8, int category, qint64 loggedAtSecs = currentSecond())
        : message(std::move(utf8)), type(category), loggedAt(loggedAtSecs),
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

    QByteArray message;
    int type;
    qint64 loggedAt;
    QByteArray stamp;
};

} // namespace SystemLog
