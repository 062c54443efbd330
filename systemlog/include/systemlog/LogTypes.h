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

// The number of categories: every category number lies in 0 to kCategoryCount - 1.
constexpr int kCategoryCount = 5;

// The display name of a category ("报警记录" for 3); empty for a number outside 0 to 4.
QString categoryName(int type);
// The category of a display name or of its number ("3"); -1 when the text is neither.
int categoryFromText(const QString &text);

// How a record's moment is written in the `datetime` column (QDateTime format), and a day.
extern const char kStampFormat[]; // "yyyy-MM-dd hh:mm:ss"
extern const char kDayFormat[];   // "yyyy-MM-dd"

// The first and the last moment of a day given as "yyyy-MM-dd": "<day> 00:00:00" and
// "<day> 23:59:59", the bounds of a day's listing (both included).
QString dayStart(const QString &day);
QString dayEnd(const QString &day);

// Result of every query: (date-time text "yyyy-MM-dd hh:mm:ss", message), in insertion order.
using LogRow = QPair<QString, QString>;
using LogRowList = QList<LogRow>;

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
