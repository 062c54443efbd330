#include "LogReader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace SystemLog {

namespace {

const char *const kCategoryNames[] = {"参数修改记录", "用户使用记录", "系统状态记录", "报警记录",
                                      "其他信息"};
constexpr int kCategoryCount = 5;

// A writer of another process holds the file for at most a few tens of milliseconds at a time;
// a read waits this long for it before it gives up with "database is locked".
constexpr int kBusyTimeoutMs = 5000;

// Rows read per statement. Each statement holds a read lock only while it steps, and in the
// log's rollback-journal mode a writer cannot commit while a read lock is held: a chunk of this
// size takes a few milliseconds to read. The rows are copied out and the statement reset before
// anyone sees them, so a slow consumer (a full pipe) never holds the lock.
constexpr int kChunkRows = 5000;

// Rows deleted per transaction when pruning, and the least pause between two transactions, so
// that a service writing to the file gets its turn.
constexpr int kDeleteBatchRows = 2000;
constexpr int kDeletePauseMs = 20;

// A value bound to a statement parameter: text or a number.
struct Bind
{
    QByteArray text;
    qint64 number = 0;
    bool isText = false;
};

Bind textBind(const QString &text)
{
    Bind b;
    b.text = text.toUtf8();
    b.isText = true;
    return b;
}

Bind numberBind(qint64 number)
{
    Bind b;
    b.number = number;
    return b;
}

// A prepared statement that is finalized on every path.
class Statement
{
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    int prepare(sqlite3 *db, const QByteArray &sql, const std::vector<Bind> &binds)
    {
        int rc = sqlite3_prepare_v2(db, sql.constData(), sql.size(), &m_stmt, nullptr);
        for (size_t i = 0; rc == SQLITE_OK && i < binds.size(); ++i) {
            const Bind &b = binds[i];
            const int at = static_cast<int>(i) + 1;
            rc = b.isText ? sqlite3_bind_text(m_stmt, at, b.text.constData(), b.text.size(),
                                              SQLITE_TRANSIENT)
                          : sqlite3_bind_int64(m_stmt, at, b.number);
        }
        return rc;
    }
    int step() { return sqlite3_step(m_stmt); }
    sqlite3_stmt *get() const { return m_stmt; }
    qint64 int64(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string_view text(int column) const
    {
        const char *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
        const int size = sqlite3_column_bytes(m_stmt, column);
        return data ? std::string_view(data, static_cast<size_t>(size)) : std::string_view();
    }

private:
    sqlite3_stmt *m_stmt = nullptr;
};

bool isTransientCode(int code)
{
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return true;
    default:
        return false;
    }
}

QByteArray typeList(const QVector<int> &types)
{
    QByteArray list;
    for (int type : types) {
        if (!list.isEmpty())
            list += ',';
        list += QByteArray::number(type);
    }
    return list;
}

// " AND datetime >= ? AND datetime <= ?" for the bounds that are set, with their binds.
void addBounds(const QString &from, const QString &to, QByteArray *sql, std::vector<Bind> *binds)
{
    if (!from.isEmpty()) {
        *sql += " AND datetime >= ?";
        binds->push_back(textBind(from));
    }
    if (!to.isEmpty()) {
        *sql += " AND datetime <= ?";
        binds->push_back(textBind(to));
    }
}

// Whether the message contains the text, ignoring case as QString does (Unicode case folding).
// Text and message both in ASCII, the common case, are compared byte by byte without decoding.
bool contains(std::string_view message, const QString &text, const QByteArray &asciiText)
{
    if (!asciiText.isNull() &&
        std::all_of(message.begin(), message.end(), [](char c) { return (c & 0x80) == 0; })) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        const auto hit =
            std::search(message.begin(), message.end(), asciiText.begin(), asciiText.end(),
                        [&](char a, char b) { return lower(a) == lower(b); });
        return hit != message.end() || asciiText.isEmpty();
    }
    return QString::fromUtf8(message.data(), static_cast<int>(message.size()))
        .contains(text, Qt::CaseInsensitive);
}

// The text as ASCII bytes, or a null array when it holds anything else.
QByteArray asciiOf(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return QByteArray();
    }
    QByteArray ascii = text.toLatin1();
    if (ascii.isNull())
        ascii = QByteArray("");
    return ascii;
}

} // namespace

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

// The rows of one chunk: their texts back to back in one buffer.
struct LogReader::Chunk
{
    struct Row
    {
        qint64 id;
        int type;
        bool typeIsNull;
        size_t stampAt, stampSize, messageAt, messageSize;
    };
    std::vector<Row> rows;
    std::string bytes;

    void clear()
    {
        rows.clear();
        bytes.clear();
    }
    void append(const LogRecordView &r)
    {
        const size_t at = bytes.size();
        bytes.append(r.datetime);
        bytes.append(r.message);
        rows.push_back({r.id, r.type, r.typeIsNull, at, r.datetime.size(), at + r.datetime.size(),
                        r.message.size()});
    }
    LogRecordView view(const Row &row) const
    {
        LogRecordView r;
        r.id = row.id;
        r.type = row.type;
        r.typeIsNull = row.typeIsNull;
        r.datetime = std::string_view(bytes.data() + row.stampAt, row.stampSize);
        r.message = std::string_view(bytes.data() + row.messageAt, row.messageSize);
        return r;
    }
};

LogReader::LogReader() = default;

LogReader::~LogReader()
{
    close();
}

void LogReader::close()
{
    if (m_db) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }
}

bool LogReader::fail(const QString &what)
{
    m_error = what;
    m_transient = false;
    return false;
}

bool LogReader::failCode(int code, const QString &what)
{
    const QString reason =
        m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString::fromUtf8(sqlite3_errstr(code));
    m_error = QStringLiteral("%1: %2").arg(what, reason);
    m_transient = isTransientCode(code);
    return false;
}

bool LogReader::open(const QString &path, Access access)
{
    close();
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file"));
    if (info.isDir())
        return fail(QStringLiteral("is a directory"));

    // Without SQLITE_OPEN_CREATE: a file that vanished in the meantime is not made again.
    const int flags = access == Access::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    const QByteArray native = QFile::encodeName(path);
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(native.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const QString reason =
            db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        m_transient = isTransientCode(rc);
        m_error = QStringLiteral("cannot open: %1").arg(reason);
        return false;
    }
    m_db = db;
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);

    // The file must hold the log table with the columns that are read; anything else is not a
    // log, and a prune must not touch it.
    Statement columns;
    int step = columns.prepare(
        m_db, QByteArrayLiteral("SELECT name FROM pragma_table_info('SystemInfo')"), {});
    QStringList names;
    if (step == SQLITE_OK) {
        while ((step = columns.step()) == SQLITE_ROW)
            names << QString::fromUtf8(columns.text(0).data(),
                                       static_cast<int>(columns.text(0).size()));
    }
    if (step != SQLITE_DONE) {
        const bool transient = isTransientCode(step);
        const QString reason = QString::fromUtf8(sqlite3_errmsg(m_db));
        close();
        m_transient = transient;
        m_error = transient ? QStringLiteral("cannot read: %1").arg(reason)
                            : QStringLiteral("not a log database (%1)").arg(reason);
        return false;
    }
    for (const char *column : {"id", "datetime", "type", "message"}) {
        if (!names.contains(QLatin1String(column))) {
            close();
            return fail(names.isEmpty()
                            ? QStringLiteral("not a log database (no table SystemInfo)")
                            : QStringLiteral("not a log database (SystemInfo has no column %1)")
                                  .arg(QLatin1String(column)));
        }
    }
    m_error.clear();
    m_transient = false;
    return true;
}

bool LogReader::distinctTypes(QVector<int> *types)
{
    // One index seek per type: the index on (type, datetime) yields the next type directly,
    // where SELECT DISTINCT would walk every entry.
    types->clear();
    qint64 after = std::numeric_limits<qint64>::min();
    for (;;) {
        Statement next;
        int rc =
            next.prepare(m_db, QByteArrayLiteral("SELECT min(type) FROM SystemInfo WHERE type > ?"),
                         {numberBind(after)});
        if (rc == SQLITE_OK)
            rc = next.step();
        if (rc != SQLITE_ROW)
            return failCode(rc, QStringLiteral("cannot read"));
        if (next.isNull(0))
            return true;
        after = next.int64(0);
        types->append(static_cast<int>(after));
    }
}

bool LogReader::idSpan(const LogSelection &selection, qint64 *first, qint64 *last, bool *empty)
{
    // The ids between which the selection lies: from the index on (type, datetime) alone when
    // there are bounds, so that the rows read afterwards are those of the selection
    // (a day's records lie together by id) rather than the whole table.
    *empty = false;
    *first = selection.afterId + 1;
    QByteArray sql;
    std::vector<Bind> binds;
    // Without bounds (follow's polls) the span runs from afterId to the end, found by rowid.
    const bool narrowed = !selection.from.isEmpty() || !selection.to.isEmpty();
    if (narrowed) {
        QVector<int> types = selection.types;
        if (types.isEmpty() && !distinctTypes(&types))
            return false;
        if (types.isEmpty()) {
            *empty = true;
            return true;
        }
        sql = "SELECT min(id), max(id) FROM SystemInfo WHERE type IN (" + typeList(types) + ")";
        addBounds(selection.from, selection.to, &sql, &binds);
        if (selection.afterId > 0) {
            sql += " AND id > ?";
            binds.push_back(numberBind(selection.afterId));
        }
    } else {
        sql = "SELECT ?, max(id) FROM SystemInfo WHERE id > ?";
        binds.push_back(numberBind(*first));
        binds.push_back(numberBind(selection.afterId));
    }
    Statement span;
    int rc = span.prepare(m_db, sql, binds);
    if (rc == SQLITE_OK)
        rc = span.step();
    if (rc != SQLITE_ROW)
        return failCode(rc, QStringLiteral("cannot read"));
    if (span.isNull(0) || span.isNull(1)) {
        *empty = true;
        return true;
    }
    *first = span.int64(0);
    *last = span.int64(1);
    return true;
}

bool LogReader::readChunk(const QByteArray &sql, const QVector<QByteArray> &texts,
                          const QVector<qint64> &numbers, Chunk *chunk)
{
    chunk->clear();
    std::vector<Bind> binds;
    for (qint64 n : numbers)
        binds.push_back(numberBind(n));
    for (const QByteArray &t : texts) {
        Bind b;
        b.text = t;
        b.isText = true;
        binds.push_back(b);
    }
    Statement select;
    int rc = select.prepare(m_db, sql, binds);
    while (rc == SQLITE_OK && (rc = select.step()) == SQLITE_ROW) {
        rc = SQLITE_OK;
        LogRecordView r;
        r.id = select.int64(0);
        r.datetime = select.text(1);
        r.typeIsNull = select.isNull(2);
        r.type = static_cast<int>(select.int64(2));
        r.message = select.text(3);
        chunk->append(r);
    }
    if (rc != SQLITE_DONE && rc != SQLITE_OK)
        return failCode(rc, QStringLiteral("cannot read"));
    return true;
}

bool LogReader::deliver(const Chunk &chunk, const LogSelection &selection, const RowCallback &onRow,
                        qint64 *delivered, bool *stopped)
{
    const QByteArray ascii = asciiOf(selection.grep);
    for (const Chunk::Row &row : chunk.rows) {
        const LogRecordView r = chunk.view(row);
        if (!selection.grep.isEmpty() && !contains(r.message, selection.grep, ascii))
            continue;
        if (selection.limit >= 0 && *delivered >= selection.limit) {
            *stopped = true;
            return true;
        }
        ++*delivered;
        if (!onRow(r)) {
            *stopped = true;
            return true;
        }
    }
    if (selection.limit >= 0 && *delivered >= selection.limit)
        *stopped = true;
    return true;
}

bool LogReader::select(const LogSelection &selection, const RowCallback &onRow)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    if (selection.limit == 0)
        return true;
    qint64 first = 0;
    qint64 last = 0;
    bool empty = false;
    if (!idSpan(selection, &first, &last, &empty))
        return false;
    if (empty)
        return true;

    // NOT INDEXED: a walk along the ids of the span, in id order, with no sort.
    QByteArray sql = "SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED "
                     "WHERE id >= ?1 AND id <= ?2";
    QVector<QByteArray> texts;
    if (!selection.from.isEmpty()) {
        sql += " AND datetime >= ?" + QByteArray::number(4 + texts.size());
        texts << selection.from.toUtf8();
    }
    if (!selection.to.isEmpty()) {
        sql += " AND datetime <= ?" + QByteArray::number(4 + texts.size());
        texts << selection.to.toUtf8();
    }
    if (!selection.types.isEmpty())
        sql += " AND type IN (" + typeList(selection.types) + ")";
    sql += " ORDER BY id LIMIT ?3";

    Chunk chunk;
    qint64 delivered = 0;
    bool stopped = false;
    qint64 next = first;
    while (!stopped && next <= last) {
        if (!readChunk(sql, texts, {next, last, kChunkRows}, &chunk))
            return false;
        if (chunk.rows.empty())
            break;
        next = chunk.rows.back().id + 1;
        const bool lastChunk = chunk.rows.size() < size_t(kChunkRows);
        if (!deliver(chunk, selection, onRow, &delivered, &stopped))
            return false;
        if (lastChunk)
            break;
    }
    return true;
}

bool LogReader::maxId(qint64 *id)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    Statement top;
    int rc = top.prepare(m_db, QByteArrayLiteral("SELECT max(id) FROM SystemInfo"), {});
    if (rc == SQLITE_OK)
        rc = top.step();
    if (rc != SQLITE_ROW)
        return failCode(rc, QStringLiteral("cannot read"));
    *id = top.isNull(0) ? 0 : top.int64(0);
    return true;
}

bool LogReader::selectLast(const LogSelection &selection, int count, qint64 upToId,
                           const RowCallback &onRow)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    // Backwards along the ids, a chunk at a time, until enough records match.
    QByteArray sql = "SELECT id, datetime, type, message FROM SystemInfo NOT INDEXED "
                     "WHERE id < ?1";
    if (!selection.types.isEmpty())
        sql += " AND type IN (" + typeList(selection.types) + ")";
    sql += " ORDER BY id DESC LIMIT ?2";

    Chunk chunk;
    Chunk found;
    qint64 before = upToId + 1;
    const QByteArray ascii = asciiOf(selection.grep);
    while (count > 0 && found.rows.size() < size_t(count)) {
        if (!readChunk(sql, {}, {before, kChunkRows}, &chunk))
            return false;
        for (const Chunk::Row &row : chunk.rows) {
            const LogRecordView r = chunk.view(row);
            if (!selection.grep.isEmpty() && !contains(r.message, selection.grep, ascii))
                continue;
            found.append(r);
            if (found.rows.size() >= size_t(count))
                break;
        }
        if (chunk.rows.size() < size_t(kChunkRows))
            break;
        before = chunk.rows.back().id;
    }
    for (auto it = found.rows.crbegin(); it != found.rows.crend(); ++it) {
        if (!onRow(found.view(*it)))
            break;
    }
    return true;
}

bool LogReader::count(const QString &from, const QString &to, Bucket bucket,
                      QVector<LogCount> *counts)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    counts->clear();
    const QByteArray width = bucket == Bucket::Hour ? "13" : "10";
    QByteArray sql =
        "SELECT substr(datetime, 1, " + width + "), type, count(*) FROM SystemInfo WHERE 1";
    std::vector<Bind> binds;
    addBounds(from, to, &sql, &binds);
    sql += " GROUP BY 1, 2 ORDER BY 1, 2";
    Statement group;
    int rc = group.prepare(m_db, sql, binds);
    while (rc == SQLITE_OK && (rc = group.step()) == SQLITE_ROW) {
        rc = SQLITE_OK;
        LogCount c;
        const std::string_view b = group.text(0);
        c.bucket = QString::fromUtf8(b.data(), static_cast<int>(b.size()));
        c.typeIsNull = group.isNull(1);
        c.type = static_cast<int>(group.int64(1));
        c.count = group.int64(2);
        counts->append(c);
    }
    if (rc != SQLITE_DONE && rc != SQLITE_OK)
        return failCode(rc, QStringLiteral("cannot read"));
    return true;
}

bool LogReader::countBefore(const QString &moment, qint64 *count, qint64 upToId)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    Statement c;
    int rc = c.prepare(
        m_db, QByteArrayLiteral("SELECT count(*) FROM SystemInfo WHERE datetime < ? AND id <= ?"),
        {textBind(moment), numberBind(upToId)});
    if (rc == SQLITE_OK)
        rc = c.step();
    if (rc != SQLITE_ROW)
        return failCode(rc, QStringLiteral("cannot read"));
    *count = c.int64(0);
    return true;
}

bool LogReader::deleteBefore(const QString &moment, qint64 *deleted, qint64 upToId)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    *deleted = 0;
    const Bind stamp = textBind(moment);
    qint64 after = 0;
    for (;;) {
        QElapsedTimer clock;
        clock.start();
        // BEGIN IMMEDIATE waits (busy timeout) for a writer's transaction, then keeps other
        // writers out until COMMIT: the batch's own length, a few tens of milliseconds.
        int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return failCode(rc, QStringLiteral("cannot delete"));
        qint64 upTo = 0;
        bool done = false;
        {
            Statement end;
            rc = end.prepare(
                m_db,
                QByteArrayLiteral("SELECT max(id) FROM (SELECT id FROM SystemInfo NOT INDEXED "
                                  "WHERE id > ? AND id <= ? AND datetime < ? ORDER BY id LIMIT ?)"),
                {numberBind(after), numberBind(upToId), stamp, numberBind(kDeleteBatchRows)});
            if (rc == SQLITE_OK)
                rc = end.step();
            if (rc == SQLITE_ROW) {
                done = end.isNull(0);
                upTo = end.int64(0);
                rc = SQLITE_OK;
            }
        }
        int changes = 0;
        if (rc == SQLITE_OK && !done) {
            Statement remove;
            rc = remove.prepare(
                m_db,
                QByteArrayLiteral(
                    "DELETE FROM SystemInfo WHERE id > ? AND id <= ? AND datetime < ?"),
                {numberBind(after), numberBind(upTo), stamp});
            if (rc == SQLITE_OK)
                rc = remove.step();
            if (rc == SQLITE_DONE) {
                rc = SQLITE_OK;
                changes = sqlite3_changes(m_db);
            }
        }
        if (rc == SQLITE_OK)
            rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            failCode(rc, QStringLiteral("cannot delete"));
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        if (done)
            return true;
        *deleted += changes;
        after = upTo;
        // A writer that waited for this batch retries on its own schedule: leave the file
        // free at least as long as the batch held it.
        QThread::msleep(
            static_cast<unsigned long>(std::max<qint64>(kDeletePauseMs, clock.elapsed())));
    }
}

bool LogReader::dataVersion(qint64 *version)
{
    if (!m_db)
        return fail(QStringLiteral("not open"));
    Statement v;
    int rc = v.prepare(m_db, QByteArrayLiteral("PRAGMA data_version"), {});
    if (rc == SQLITE_OK)
        rc = v.step();
    if (rc != SQLITE_ROW)
        return failCode(rc, QStringLiteral("cannot read"));
    *version = v.int64(0);
    return true;
}

} // namespace SystemLog
