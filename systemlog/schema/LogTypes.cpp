#include "LogTypes.h"
#include "service/LogQueueEntry.h"

#include <cstring>
#include <ctime>
#include <mutex>

namespace SystemLog {

namespace {

const char *const kCategoryNames[kCategoryCount] = {"参数修改记录", "用户使用记录", "系统状态记录",
                                                    "报警记录", "其他信息"};

} // namespace

const char kStampFormat[] = "yyyy-MM-dd hh:mm:ss";
const char kDayFormat[] = "yyyy-MM-dd";

QString categoryName(int type)
{
    if (type < 0 || type >= kCategoryCount)
        return QString();
    return QString::fromUtf8(kCategoryNames[type]);
}

int categoryFromText(const QString &text)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    const int number = trimmed.toInt(&ok);
    if (ok)
        return number >= 0 && number < kCategoryCount ? number : -1;
    for (int type = 0; type < kCategoryCount; ++type) {
        if (trimmed == QString::fromUtf8(kCategoryNames[type]))
            return type;
    }
    return -1;
}

const char *localStampChars(qint64 secs)
{
    // The text changes once a second: records logged in the same second share it. A change of
    // the zone shows from the next second on.
    thread_local qint64 lastSecs = 0;
    thread_local bool made = false;
    thread_local char lastText[kStampLength + 1];
    if (secs != lastSecs || !made) {
        const std::time_t t = static_cast<std::time_t>(secs);
        std::tm local{};
        char text[32];
        // tzset() rereads the zone and frees the old one's data: threads that log take turns,
        // as the C library's own lock is invisible to the thread sanitizer.
        static std::mutex zoneMutex;
        std::lock_guard<std::mutex> lock(zoneMutex);
        tzset();
        if (localtime_r(&t, &local) &&
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == kStampLength)
            std::memcpy(lastText, text, kStampLength + 1);
        else
            std::memcpy(lastText, "1970-01-01 00:00:00", kStampLength + 1);
        lastSecs = secs;
        made = true;
    }
    return lastText;
}

QByteArray localStampText(qint64 secs)
{
    // Records of the same second share one array.
    thread_local qint64 lastSecs = 0;
    thread_local QByteArray lastText;
    if (secs != lastSecs || lastText.isEmpty()) {
        lastText = QByteArray(localStampChars(secs), kStampLength);
        lastSecs = secs;
    }
    return lastText;
}

QString dayStart(const QString &day)
{
    return day + QStringLiteral(" 00:00:00");
}

QString dayEnd(const QString &day)
{
    return day + QStringLiteral(" 23:59:59");
}

} // namespace SystemLog
