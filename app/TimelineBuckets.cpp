#include "TimelineBuckets.h"

#include <QDate>

#include <algorithm>

namespace {

constexpr qint64 kMinutesPerDay = 24 * 60;
// A span shorter than this is counted per minute.
constexpr qint64 kMinuteSpanSeconds = 2 * 60 * 60;

// The number that the digits at stamp[at, at + length) write; -1 unless all are digits.
int digits(QStringView stamp, int at, int length)
{
    if (stamp.size() < at + length)
        return -1;
    int value = 0;
    for (int i = at; i < at + length; ++i) {
        const QChar c = stamp.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

bool separatorAt(QStringView stamp, int at, char separator)
{
    return stamp.size() > at && stamp.at(at) == QLatin1Char(separator);
}

// Minutes from the start of the Julian day count to the stamp's minute (its first 16
// characters; only 13 are needed when `withMinute` is false), -1 for no such stamp.
qint64 minuteOf(QStringView stamp, bool withMinute)
{
    const QDate day(digits(stamp, 0, 4), digits(stamp, 5, 2), digits(stamp, 8, 2));
    const int hour = digits(stamp, 11, 2);
    const int minute = withMinute ? digits(stamp, 14, 2) : 0;
    if (!day.isValid() || !separatorAt(stamp, 4, '-') || !separatorAt(stamp, 7, '-') ||
        !separatorAt(stamp, 10, ' ') || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        (withMinute && !separatorAt(stamp, 13, ':')))
        return -1;
    return day.toJulianDay() * kMinutesPerDay + hour * 60 + minute;
}

// Seconds of a whole moment "yyyy-MM-dd hh:mm:ss" from the same origin; -1 for none.
qint64 secondOf(QStringView stamp)
{
    const qint64 minute = minuteOf(stamp, true);
    const int second = digits(stamp, 17, 2);
    if (minute < 0 || !separatorAt(stamp, 16, ':') || second < 0 || second > 59)
        return -1;
    return minute * 60 + second;
}

} // namespace

TimelineBuckets TimelineBuckets::forSpan(const QString &from, const QString &to)
{
    TimelineBuckets buckets;
    const qint64 start = secondOf(from);
    const qint64 end = secondOf(to);
    if (start < 0 || end < start)
        return buckets;
    buckets.m_unit = end - start < kMinuteSpanSeconds ? Unit::Minute : Unit::Hour;
    buckets.m_first = buckets.bucketOf(from);
    buckets.m_last = buckets.bucketOf(to);
    buckets.m_valid = true;
    return buckets;
}

qint64 TimelineBuckets::bucketOf(QStringView stamp) const
{
    const qint64 minute = minuteOf(stamp, m_unit == Unit::Minute);
    if (minute < 0)
        return -1;
    return m_unit == Unit::Minute ? minute : minute / 60;
}

QString TimelineBuckets::startOf(qint64 bucket) const
{
    return nameOf(bucket) + QLatin1String(":00");
}

QString TimelineBuckets::nameOf(qint64 bucket) const
{
    const qint64 minute = m_unit == Unit::Minute ? bucket : bucket * 60;
    const QDate day = QDate::fromJulianDay(minute / kMinutesPerDay);
    const int inDay = int(minute % kMinutesPerDay);
    return day.toString(QStringLiteral("yyyy-MM-dd")) +
           QStringLiteral(" %1:%2")
               .arg(inDay / 60, 2, 10, QLatin1Char('0'))
               .arg(inDay % 60, 2, 10, QLatin1Char('0'));
}

void TimelineBuckets::add(QStringView stamp, qint64 count)
{
    const qint64 bucket = bucketOf(stamp);
    if (!m_valid || bucket < m_first || bucket > m_last || count <= 0)
        return;
    qint64 &held = m_counts[bucket];
    held += count;
    m_total += count;
    m_largest = std::max(m_largest, held);
}

qint64 TimelineBuckets::count(qint64 bucket) const
{
    const auto it = m_counts.find(bucket);
    return it == m_counts.end() ? 0 : it->second;
}

qint64 TimelineBuckets::countIn(qint64 from, qint64 to) const
{
    qint64 sum = 0;
    for (auto it = m_counts.lower_bound(from); it != m_counts.end() && it->first < to; ++it)
        sum += it->second;
    return sum;
}

qint64 TimelineBuckets::firstFilled(qint64 from, qint64 to) const
{
    const auto it = m_counts.lower_bound(from);
    return it != m_counts.end() && it->first < to ? it->first : -1;
}
