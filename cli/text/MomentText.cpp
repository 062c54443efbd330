#include "text/MomentText.h"

#include "LogTypes.h"
#include "text/DateText.h"

#include <QRegularExpression>

namespace TallyLog {

namespace {

QString stamp(const QDateTime &moment)
{
    return moment.isValid() && hasFourDigitYear(moment.date()) ? stampText(moment) : QString();
}

// Seconds per unit, days and weeks as 86400 and 7 * 86400 (offset() counts them on the calendar);
// 0 for an unknown unit.
qint64 unitSeconds(const QString &unit)
{
    static const struct
    {
        const char *names[5];
        qint64 seconds;
    } units[] = {
        {{"s", "sec", "secs", "second", "seconds"}, 1},
        {{"m", "min", "mins", "minute", "minutes"}, 60},
        {{"h", "hr", "hour", "hours", nullptr}, 3600},
        {{"d", "day", "days", nullptr, nullptr}, 86400},
        {{"w", "week", "weeks", nullptr, nullptr}, 7 * 86400},
    };
    for (const auto &u : units) {
        for (const char *name : u.names) {
            if (name && unit == QLatin1String(name))
                return u.seconds;
        }
    }
    return 0;
}

} // namespace

bool MomentText::now(QDateTime *now, QString *problem)
{
    const QByteArray fixed = qgetenv(kClockVariable);
    if (fixed.isEmpty()) {
        *now = QDateTime::currentDateTime();
        return true;
    }
    const QString text = QString::fromUtf8(fixed);
    *now = momentFromText(text);
    if (now->isValid())
        return true;
    // A wall-clock time that a daylight-saving change skips is no reading of a clock.
    *problem = isMoment(text) ? QStringLiteral("%1 is a time that the local clock skips: '%2'")
                                    .arg(QLatin1String(kClockVariable), text)
                              : QStringLiteral("%1 is not a moment (yyyy-MM-dd hh:mm:ss): '%2'")
                                    .arg(QLatin1String(kClockVariable), text);
    return false;
}

QString MomentText::accepted()
{
    return QStringLiteral("yyyy-MM-dd [hh:mm[:ss]], hh:mm[:ss] (today), today, yesterday, now, "
                          "-1h, -30min, -2d, -1w, +10min");
}

bool MomentText::isDayText(const QString &text)
{
    const QString t = text.trimmed();
    return isDay(t) || t == QLatin1String("today") || t == QLatin1String("yesterday") ||
           t == QLatin1String("tomorrow");
}

QString MomentText::day(const QString &text) const
{
    return parse(text).left(10);
}

QString MomentText::parse(const QString &text) const
{
    const QString t = text.trimmed();
    if (t == QLatin1String("now"))
        return stamp(m_now);
    // Midnight written out: where a daylight-saving change skips it, QDateTime has no such local
    // time, but the stored stamps still compare with it.
    const QDate today = m_now.date();
    const auto midnight = [](const QDate &day) {
        return hasFourDigitYear(day) ? SystemLog::dayStart(dayText(day)) : QString();
    };
    if (t == QLatin1String("today"))
        return midnight(today);
    if (t == QLatin1String("yesterday"))
        return midnight(today.addDays(-1));
    if (t == QLatin1String("tomorrow"))
        return midnight(today.addDays(1));

    // Written out rather than through QDateTime: a local time that a daylight-saving change
    // skips is still a valid bound for the stored stamps.
    if (isDay(t))
        return SystemLog::dayStart(t);
    if (t.size() == 16 && isMoment(t + QStringLiteral(":00")))
        return t + QStringLiteral(":00");
    if (isMoment(t))
        return t;
    // A time of today.
    const QString time = t.size() == 5 ? t + QStringLiteral(":00") : t;
    if (time.size() == 8 && hasFourDigitYear(today) &&
        isMoment(dayText(today) + QLatin1Char(' ') + time))
        return dayText(today) + QLatin1Char(' ') + time;
    return offset(t);
}

QString MomentText::offset(const QString &text) const
{
    static const QRegularExpression signedForm(QStringLiteral("^([+-])\\s*(.+)$"));
    static const QRegularExpression agoForm(QStringLiteral("^(.+?)\\s*ago$"));
    static const QRegularExpression term(QStringLiteral("\\G\\s*(\\d{1,9})\\s*([a-z]+)"));
    QString terms;
    int sign = -1;
    QRegularExpressionMatch m = signedForm.match(text);
    if (m.hasMatch()) {
        sign = m.captured(1) == QLatin1String("+") ? 1 : -1;
        terms = m.captured(2);
    } else if ((m = agoForm.match(text)).hasMatch()) {
        terms = m.captured(1);
    } else {
        return QString();
    }
    qint64 days = 0;
    qint64 seconds = 0;
    int at = 0;
    QRegularExpressionMatchIterator it = term.globalMatch(terms);
    while (it.hasNext()) {
        const QRegularExpressionMatch t = it.next();
        const qint64 unit = unitSeconds(t.captured(2));
        if (unit == 0)
            return QString();
        if (unit % 86400 == 0)
            days += t.captured(1).toLongLong() * (unit / 86400);
        else
            seconds += t.captured(1).toLongLong() * unit;
        at = t.capturedEnd();
    }
    if (at == 0 || at != terms.size())
        return QString();
    // Days and weeks on the calendar, the clock's time kept, as date(1) counts them: across a
    // daylight-saving change "-1d" is still yesterday at this time, not 23 or 25 hours back
    // (which would make --day -1d the day before yesterday just after midnight). Hours,
    // minutes and seconds are elapsed time.
    const QDate day = m_now.date().addDays(sign * days);
    if (seconds == 0)
        return hasFourDigitYear(day)
                   ? dayText(day) + m_now.time().toString(QStringLiteral(" hh:mm:ss"))
                   : QString();
    QDateTime base(day, m_now.time());
    if (!base.isValid()) // the time that day falls in the hour a change skips
        base = m_now.addDays(sign * days);
    return stamp(base.addSecs(sign * seconds));
}

} // namespace TallyLog
