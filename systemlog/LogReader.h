#pragma once

#include <QString>
#include <QVector>

#include <functional>
#include <limits>
#include <string_view>

struct sqlite3;

namespace SystemLog {

// The display name of a category ("报警记录" for 3); empty for a number outside 0 to 4.
QString categoryName(int type);
// The category of a display name or of its number ("3"); -1 when the text is neither.
int categoryFromText(const QString &text);

// One stored record as the reader hands it out. The views point into the reader's buffer and
// stay valid only during the callback that receives them. The text is the stored bytes, which
// the log service always writes as valid UTF-8; other programs may not.
struct LogRecordView
{
    qint64 id = 0;
    std::string_view datetime;
    int type = 0;
    bool typeIsNull = false;
    std::string_view message;
};

// Which records to read. Empty bounds are open; both bounds are included, as in the service's
// queries. No types means every record, whatever its type number.
struct LogSelection
{
    QString from;
    QString to;
    QVector<int> types;
    QString grep; // the message contains this text, ignoring case (Unicode case folding)
    qint64 afterId = 0;
    qint64 limit = -1; // at most this many records (< 0: no limit)
};

// Records counted per time bucket and type.
struct LogCount
{
    QString bucket; // "yyyy-MM-dd hh" or "yyyy-MM-dd"
    int type = 0;
    bool typeIsNull = false;
    qint64 count = 0;
};

// Reads a log file ("dbLog.db") directly through SQLite, without the log service, while
// services in other processes keep writing to it. Every read is a short statement of its own, so
// that a writer never waits long for the reader; a long listing is read in chunks by id.
class LogReader
{
public:
    enum class Access
    {
        ReadOnly,  // never creates or changes the file
        ReadWrite, // for pruning; still never creates the file
    };
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
    bool open(const QString &path, Access access = Access::ReadOnly);
    void close();
    bool isOpen() const { return m_db != nullptr; }

    // The reason of the last failure, and whether it may pass (the file was busy or locked).
    QString errorString() const { return m_error; }
    bool lastErrorIsTransient() const { return m_transient; }

    // The records of the selection in id order, through onRow.
    bool select(const LogSelection &selection, const RowCallback &onRow);
    // The last `count` records of the selection with ids up to `upToId` (types and grep apply,
    // bounds and afterId do not), in id order.
    bool selectLast(const LogSelection &selection, int count, qint64 upToId,
                    const RowCallback &onRow);
    // The highest id in the file (0 when it holds no records).
    bool maxId(qint64 *id);
    // Counts of the records in [from, to] (empty bounds are open) per bucket and type, in
    // bucket then type order.
    bool count(const QString &from, const QString &to, Bucket bucket, QVector<LogCount> *counts);
    // The number of records stamped before `moment` with ids up to `upToId`.
    bool countBefore(const QString &moment, qint64 *count,
                     qint64 upToId = std::numeric_limits<qint64>::max());
    // Deletes the records stamped before `moment` with ids up to `upToId` in short
    // transactions; *deleted counts them.
    bool deleteBefore(const QString &moment, qint64 *deleted,
                      qint64 upToId = std::numeric_limits<qint64>::max());
    // A number that changes whenever another connection has committed a change to the file.
    bool dataVersion(qint64 *version);

private:
    struct Chunk;
    bool fail(const QString &what);
    bool failCode(int code, const QString &what);
    bool distinctTypes(QVector<int> *types);
    bool idSpan(const LogSelection &selection, qint64 *first, qint64 *last, bool *empty);
    bool readChunk(const QByteArray &sql, const QVector<QByteArray> &texts,
                   const QVector<qint64> &numbers, Chunk *chunk);
    bool deliver(const Chunk &chunk, const LogSelection &selection, const RowCallback &onRow,
                 qint64 *delivered, bool *stopped);

    sqlite3 *m_db = nullptr;
    QString m_error;
    bool m_transient = false;
};

} // namespace SystemLog
