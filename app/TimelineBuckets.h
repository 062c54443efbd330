#pragma once

#include <QString>
#include <QStringView>

#include <map>

// The records of a listing counted per hour of their stamps, or per minute for a span under two
// hours. A bucket is known by its number: hours (or minutes) counted from a fixed day, from the
// stamp's own digits, so that a local clock's changes (summer time) never fold two buckets into
// one. The axis runs from the bucket of the span's start to that of its end; a record whose stamp
// is no "yyyy-MM-dd hh:mm..." text is not counted.
class TimelineBuckets
{
public:
    enum class Unit
    {
        Hour,
        Minute,
    };

    TimelineBuckets() = default;
    // The buckets of a span given as two moments ("yyyy-MM-dd hh:mm:ss", both included); none
    // when either is no moment or the end lies before the start.
    static TimelineBuckets forSpan(const QString &from, const QString &to);

    bool isValid() const { return m_valid; }
    Unit unit() const { return m_unit; }
    // How many characters of a stamp name its bucket: "yyyy-MM-dd hh" or "yyyy-MM-dd hh:mm".
    int prefixLength() const { return m_unit == Unit::Hour ? 13 : 16; }
    qint64 first() const { return m_first; }
    qint64 last() const { return m_last; }
    qint64 size() const { return m_valid ? m_last - m_first + 1 : 0; }

    // The bucket of a stamp (or of its first prefixLength() characters); -1 for none.
    qint64 bucketOf(QStringView stamp) const;
    // The moment the bucket begins: "yyyy-MM-dd hh:00:00" or "yyyy-MM-dd hh:mm:00".
    QString startOf(qint64 bucket) const;
    // "yyyy-MM-dd hh:00" or "yyyy-MM-dd hh:mm", to name the bucket.
    QString nameOf(qint64 bucket) const;

    // Counts a stamp's record (or `count` of them) in its bucket, when it lies on the axis.
    void add(QStringView stamp, qint64 count = 1);
    qint64 count(qint64 bucket) const;
    // The records in buckets [from, to).
    qint64 countIn(qint64 from, qint64 to) const;
    // The first bucket of [from, to) that holds records; -1 when none does.
    qint64 firstFilled(qint64 from, qint64 to) const;
    qint64 total() const { return m_total; }
    qint64 largest() const { return m_largest; }

private:
    bool m_valid = false;
    Unit m_unit = Unit::Hour;
    qint64 m_first = 0;
    qint64 m_last = -1;
    std::map<qint64, qint64> m_counts; // only buckets that hold records
    qint64 m_total = 0;
    qint64 m_largest = 0;
};
