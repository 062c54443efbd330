#pragma once

// The table of `tallylog stats`: records per hour or day and category, with every bucket of the
// range shown, those without records as 0, so that a silent stretch (an outage) stands out.

#include "read/LogReader.h"

#include <QString>
#include <QVector>

#include <string>

namespace TallyLog {

class StatsTable
{
public:
    enum class Unit
    {
        Hour, // buckets "yyyy-MM-dd hh" as counted, written "yyyy-MM-dd hh:00"
        Day,  // buckets "yyyy-MM-dd"
    };

    // More empty buckets than this are not filled in (a stamp far in the future would otherwise
    // ask for millions of rows); the buckets that hold records are always shown.
    static constexpr int kMaxFilledBuckets = 200000;

    // `counts` in bucket then type order, as LogReader::count gives them. Every bucket from
    // `first` to `last` (both in the counted form; empty: no filling) appears.
    StatsTable(Unit unit, const QVector<SystemLog::LogCount> &counts, const QString &first,
               const QString &last);

    // The bucket of a stamp "yyyy-MM-dd hh:mm:ss" in the counted form.
    static QString bucketOf(Unit unit, const QString &stamp);

    // One row per bucket and category that has records, and one row with count 0 for a bucket
    // without any; a bar per row and a total after `rangeText` ("from A to B", "in all").
    std::string text(const QString &rangeText) const;
    // One row per bucket and category: the five categories always (0 when none), other stored
    // types where they occur. CSV with CRLF (after a UTF-8 byte order mark for `bom`), or JSON
    // Lines.
    std::string csv(bool bom) const;
    std::string json() const;

private:
    struct Bucket
    {
        QString name;
        QVector<SystemLog::LogCount> counts; // only those with records
    };
    template <typename Write> void forEachDenseRow(Write write) const;
    QString shownName(const QString &bucket) const;
    static QString nextBucket(Unit unit, const QString &bucket);
    static void appendJsonType(std::string &out, const SystemLog::StoredTypeValue &type);

    Unit m_unit;
    QVector<Bucket> m_buckets;
};

} // namespace TallyLog
