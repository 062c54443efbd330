#pragma once

#include "LogTypes.h"

#include <QByteArray>
#include <QPair>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <limits>
#include <memory>
#include <string_view>

namespace SystemLog {

// The value of a record's `type` column as it is stored. The log service always writes a
// category number, but other programs may have stored any SQLite value there.
struct StoredType
{
    enum class Kind
    {
        Integer,
        Real,
        Text,
        Blob,
        Null,
    };
    Kind kind = Kind::Null;
    qint64 integer = 0;    // Kind::Integer (all 64 bits)
    std::string_view text; // Real: SQLite's text of the number ("3.5"); Text, Blob: the bytes

    // An integer that names a category (0 to kCategoryCount - 1).
    bool isCategory() const
    {
        return kind == Kind::Integer && integer >= 0 && integer < kCategoryCount;
    }
};

// One stored record as the reader hands it out. The views point into the reader's buffer and
// stay valid only during the callback that receives them. The text is the stored bytes, which
// the log service always writes as valid UTF-8; other programs may not.
struct LogRecordView
{
    qint64 id = 0;
    std::string_view datetime;
    // The stamp is stored as text (as the service stores it), not as a number, blob or null.
    bool datetimeIsText = true;
    StoredType type;
    std::string_view message;
};

// Which records to read. Empty bounds are open; both bounds are included, as in the service's
// queries. No types means every record, whatever its type number.
struct LogSelection
{
    QString from;
    QString to;
    // Records whose type is stored as one of these integers (see RecordFilter: a real 3.0 or a
    // text '3' of another program's table is not 3).
    QVector<int> types;
    // The message contains each of these texts, ignoring case (Unicode case folding).
    QStringList grep;
    // The message matches this regular expression somewhere (an empty pattern: every message).
    QRegularExpression pattern;
    // Records with ids above this one. Other programs may have stored ids of 0 and below: the
    // lowest value, the default, reads from the very first id on.
    qint64 afterId = std::numeric_limits<qint64>::min();
    // Records with ids up to this one (the highest value, the default: every id).
    qint64 upToId = std::numeric_limits<qint64>::max();
    // The bounds checked on each row read from afterId on, never sought in the index: for a
    // selection of the few records after afterId (a poll for new ones).
    bool alongIds = false;
    qint64 limit = -1;        // at most this many records (< 0: no limit), the first delivered
    bool newestFirst = false; // delivered in descending id order, starting from the newest
    // On a damaged file, every row that can still be read is delivered and the rest is named in
    // LogReader::unreadableIds(), instead of the reading failing (see LogReader::select).
    bool aroundDamage = false;

    // Whether the messages decide which records are delivered (grep or pattern).
    bool filtersMessages() const { return !grep.isEmpty() || !pattern.pattern().isEmpty(); }
};

// A stored type value that outlives the reading (see StoredType).
struct StoredTypeValue
{
    StoredType::Kind kind = StoredType::Kind::Null;
    qint64 integer = 0;
    QByteArray text;

    bool isCategory() const { return view().isCategory(); }
    StoredType view() const
    {
        StoredType type;
        type.kind = kind;
        type.integer = integer;
        type.text = std::string_view(text.constData(), static_cast<size_t>(text.size()));
        return type;
    }
};

// Records counted per time bucket and stored type value (3.5 and 3 are counted apart).
struct LogCount
{
    QString bucket; // "yyyy-MM-dd hh" or "yyyy-MM-dd"
    StoredTypeValue type;
    qint64 count = 0;
};

// Reads a log file ("dbLog.db") directly through SQLite, without the log service, while
// services in other processes keep writing to it. Every read is a short statement of its own, so
// that a writer never waits long for the reader; a long listing is read in chunks by id. The
// reader never creates or changes the file.
class LogReader
{
public:
    enum class Bucket
    {
        Hour,
        Day,
    };
    // Returning false from a row callback stops the reading (not an error).
    using RowCallback = std::function<bool(const LogRecordView &)>;

    LogReader();
    ~LogReader();
    LogReader(const LogReader &) = delete;
    LogReader &operator=(const LogReader &) = delete;

    // Opens an existing log file and checks that it holds the table SystemInfo with its columns.
    // On failure errorString() gives the reason ("no such file", "not a log database: ...").
    bool open(const QString &path);
    void close();
    bool isOpen() const;
    // How long a statement (opening included) waits for a writer's lock before it fails as busy:
    // 5000 ms unless set. A reader that polls and may not stand still sets a short wait.
    void setBusyTimeout(int ms);

    // The reason of the last failure, and whether it may pass (the file was busy or locked).
    QString errorString() const;
    bool lastErrorIsTransient() const;

    // The records of the selection in id order (descending for newestFirst), through onRow.
    // With aroundDamage, on a damaged file (SQLite finds it malformed) every row that can still
    // be read is delivered, walking the table by id around the damage; the call then succeeds
    // and unreadableIds() names the stretches of ids that could not be read.
    bool select(const LogSelection &selection, const RowCallback &onRow);
    // Ids first to last, both included, that the last select() could not read.
    struct IdRange
    {
        qint64 first = 0;
        qint64 last = 0;
    };
    QVector<IdRange> unreadableIds() const;
    // Why they could not be read (SQLite's text), when unreadableIds() is not empty.
    QString damage() const;
    // The id and stamp of each record of the selection (types, bounds and upToId; grep, afterId,
    // limit and order do not apply), in stamp then id order, read from the index on
    // (type, datetime) alone: a listing of millions of records without reading their messages.
    // Returning false from onKey stops the reading (not an error).
    using KeyCallback = std::function<bool(qint64 id, std::string_view stamp)>;
    bool selectKeys(const LogSelection &selection, const KeyCallback &onKey);
    // The last `count` records of the selection with ids up to `upToId` (types and grep apply,
    // bounds and afterId do not), in id order.
    bool selectLast(const LogSelection &selection, int count, qint64 upToId,
                    const RowCallback &onRow);
    // The highest id in the file (0, and *none true, when it holds no records).
    bool maxId(qint64 *id, bool *none = nullptr);
    // Counts of the records in [from, to] (empty bounds are open) per bucket and stored type, in
    // bucket then type order (SQLite's order of values: NULL, numbers, texts, blobs).
    bool count(const QString &from, const QString &to, Bucket bucket, QVector<LogCount> *counts);
    // Counts of the records of the selection (its types, its bounds and its ids; not its grep)
    // per stamp cut to its first `prefixLength` characters ("yyyy-MM-dd hh" for 13), in the
    // order of the cut stamps: the records of a listing per hour, or per minute for 16.
    bool countByStamp(const LogSelection &selection, int prefixLength,
                      QVector<QPair<QString, qint64>> *counts);
    // A number that changes whenever another connection has committed a change to the file.
    bool dataVersion(qint64 *version);
    // The record with this id through onRow, if the file holds one.
    bool recordAt(qint64 id, const RowCallback &onRow);

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace SystemLog
