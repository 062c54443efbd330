#pragma once

// Which records a listing takes: those of one or more type numbers stamped within a span. The one
// statement text of that filter, for the window's listing (QDBSqlite::selectLogs), its live update
// and every reading of tallylog (LogReader, LogTail). Internal to the library.
//
// A record is of type N exactly when its type is stored as the integer N. The log's own column has
// INTEGER affinity, so SQLite stores 3, 3.0, '3' and '3.0' there as the integer 3; a table of
// another program may keep a real 3.0, a text '3' or a blob apart, and those are of no type
// number (each is listed where no type is asked for, and counted under its own value).

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>
#include <vector>

namespace SystemLog::RecordFilter {

// " AND type IN (3,4) AND typeof(type) = 'integer'" for these type numbers; empty for none (every
// record). The numbers stand in the text, so that the index on (type, datetime) is searched for
// each; the kind is checked on the index entry itself.
QByteArray typeCondition(const QVector<int> &types);

// The ends of a span of stamps, each included; an end without a value is open. Stamps compare as
// SQLite compares the column with a text: byte by byte against a text stamp, while a number
// sorts before every text and a blob after it.
struct Span
{
    std::optional<QByteArray> from;
    std::optional<QByteArray> to;

    // The span of a reader's selection, where an empty text leaves that end open.
    static Span openWhereEmpty(const QString &from, const QString &to);
    // The span of the window's listing: both ends always, as given.
    static Span between(const QString &from, const QString &to);
};

// " AND datetime >= ?N AND datetime <= ?M" for the ends the span has, numbered on from `first`;
// the texts to bind, in that order, are appended to *texts. A scan that seeks no stamp in the
// index may compare "+datetime" instead: the same order for the stamps bound (none looks like a
// number), without the conversion of the bound text that the column's affinity asks for at each
// row.
QByteArray spanCondition(const Span &span, int first, std::vector<QByteArray> *texts,
                         const char *column = "datetime");

// The window's listing, oldest first: stamp and message of the records of `type` within the
// span, its ends bound as ?1 and ?2.
QByteArray listingSelect(int type);

} // namespace SystemLog::RecordFilter
