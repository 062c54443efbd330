#pragma once

// A record on its way from the output hook to the file. Internal to the library.

#include <QByteArray>
#include <QString>

#include <ctime>
#include <utility>

namespace SystemLog {

// The length of a local time text in kStampFormat ("yyyy-MM-dd hh:mm:ss").
constexpr int kStampLength = 19;

// The local time of `secs` since the epoch in kStampFormat, in the time zone in force now.
// Each thread keeps the text of the last second it was asked for: kStampLength characters and a
// zero byte, valid in the calling thread until its next call.
const char *localStampChars(qint64 secs);
// The same text as an array.
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
    // With the local time text of the moment as it was when the record was logged.
    LogQueueEntry(QByteArray utf8, int category, qint64 loggedAtSecs, QByteArray localStamp)
        : message(std::move(utf8)), type(category), loggedAt(loggedAtSecs),
          stamp(std::move(localStamp))
    {
    }

    // The current time, cut to its second. A precise clock: a coarse one can lag a few
    // milliseconds and stamp a record logged just after a full second with the one before.
    static qint64 currentSecond()
    {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        return qint64(now.tv_sec);
    }

    QByteArray message;
    int type;
    qint64 loggedAt;
    QByteArray stamp;
};

} // namespace SystemLog
