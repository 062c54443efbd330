#pragma once

#include <QList>
#include <QPair>
#include <QString>

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

} // namespace SystemLog
