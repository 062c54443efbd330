#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <utility>

namespace SystemLog {

// Category of a log record, stored in the `type` column.
enum LogType : int
{
    ParameterChange = 0, // 参数修改记录
    UserAction = 1,      // 用户使用记录
    SystemStatus = 2,    // 系统状态记录
    Alarm = 3,           // 报警记录
    OtherInfo = 4,       // 其他信息
};

// Result of every query: (date-time text "yyyy-MM-dd hh:mm:ss", message), in insertion order.
using LogRow = QPair<QString, QString>;
using LogRowList = QList<LogRow>;

// The local time of `secs` since the epoch as "yyyy-MM-dd hh:mm:ss", in the time zone in force
// now. Each thread keeps the text of the last second it was asked for.
QByteArray localStampText(qint64 secs);

// A record waiting to be stored: its message, its category and the moment it was logged, in
// whole seconds since the epoch, with the local time of that moment as it is stored
// ("yyyy-MM-dd hh:mm:ss"): the zone may change while the record waits.
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
