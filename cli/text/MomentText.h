#pragma once

// The moments and days tallylog takes on its command line (--since, --until, --from, --to,
// --day, prune's --before), as journalctl takes them: a stamp, a time of today, a day word or an
// offset from now, read against one clock.

#include <QDateTime>
#include <QString>

namespace TallyLog {

class MomentText
{
public:
    // The variable that sets the clock, "yyyy-MM-dd hh:mm:ss" local time, for tests and for
    // replaying a situation; unset, the system clock.
    static constexpr const char *kClockVariable = "TALLYLOG_NOW";

    // The clock of this run; false with *problem when kClockVariable is set but not a moment.
    static bool now(QDateTime *now, QString *problem);

    explicit MomentText(const QDateTime &now) : m_now(now) {}

    // "yyyy-MM-dd hh:mm:ss" of one of:
    //   "yyyy-MM-dd", "yyyy-MM-dd hh:mm", "yyyy-MM-dd hh:mm:ss"   (missing fields are 0)
    //   "hh:mm", "hh:mm:ss"                                       (today at that time)
    //   "today", "yesterday", "tomorrow" (their 00:00:00), "now"
    //   "-1h", "-30min", "+10min", "-2d", "-1h 30min", "2 hours ago": an offset from now, in
    //   s/sec/second(s), m/min/minute(s), h/hour(s), d/day(s), w/week(s); days and weeks on
    //   the calendar (the same time of day), the others as elapsed time
    // An empty string when the text is none of these.
    QString parse(const QString &text) const;
    // "yyyy-MM-dd" of the day a text of parse() falls on ("-2d": the day two days ago); empty
    // when the text is none.
    QString day(const QString &text) const;
    // Whether the text names a whole day ("yyyy-MM-dd", "today", "yesterday", "tomorrow") rather
    // than a moment.
    static bool isDayText(const QString &text);

    // What parse() takes, for usage messages.
    static QString accepted();

private:
    QString offset(const QString &text) const;

    QDateTime m_now;
};

} // namespace TallyLog
