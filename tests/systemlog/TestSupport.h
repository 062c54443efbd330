#pragma once

#include "ScratchDir.h"

// Helpers shared by the log service tests: a private working directory per test function (the
// base class of their test classes), a second connection to "dbLog.db" that bypasses the service,
// capture of standard output at the file-descriptor level, and message bytes that end right before
// an unreadable page.

#include "LogTypes.h"
#include "TestFiles.h"
#include "TestLogFile.h"
#include "qzSysLog.h"
#include "spill/SpillListing.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace TestSupport {

using TestFiles::readFile;
using TestFiles::writeFile;

inline const QString kDbFile = QStringLiteral("dbLog.db");
// Bounds of a range query that takes in every row.
inline const QString kEarliest = QStringLiteral("1970-01-01 00:00:00");
inline const QString kLatest = QStringLiteral("9999-12-31 23:59:59");

// The messages of query rows, in their order.
inline QStringList messagesOf(const SystemLog::LogRowList &rows)
{
    QStringList out;
    for (const auto &row : rows)
        out << row.second;
    return out;
}

// The table statement as the store must create it, as SQLite keeps it in sqlite_master: the
// text of the CREATE statement with "IF NOT EXISTS" removed.
inline QString storedSchema()
{
    QString text = TestLogFile::tableStatement();
    text.remove(QStringLiteral("IF NOT EXISTS "));
    return text;
}

using TestFiles::ScopedWorkDir;

// The base of the service's test classes: each test function runs in a fresh working directory
// of its own (m_dir), and the service it used is released before the next one.
class ScratchTest : public QObject
{
    Q_OBJECT

protected Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<ScopedWorkDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup()
    {
        SystemLog::qzSysLog::release();
        m_dir.reset();
    }

protected:
    std::unique_ptr<ScopedWorkDir> m_dir;
};
// The messages waiting in the spill journal beside the log, in the order of their segments.
inline QStringList spilledMessages(const QString &dir = QStringLiteral("dbLog.spill"))
{
    QStringList out;
    for (const auto &segment : SystemLog::Spill::listJournal(dir, {})) {
        for (const auto &record : segment.records)
            out << QString::fromUtf8(record.message);
    }
    return out;
}

// A connection of the test's own to a database file, independent of the service. It waits for
// the service's writer instead of failing when the file is locked.
class AuxDb
{
public:
    explicit AuxDb(const QString &file = kDbFile)
        : m_name(QStringLiteral("test-aux-%1").arg(counter().fetch_add(1)))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        m_open = db.open();
        if (!m_open)
            m_openError = db.lastError().text();
    }
    ~AuxDb()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    AuxDb(const AuxDb &) = delete;
    AuxDb &operator=(const AuxDb &) = delete;

    bool isOpen() const { return m_open; }
    QString openError() const { return m_openError; }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

    // Runs one statement; returns false and keeps the error text on failure.
    bool exec(const QString &sql)
    {
        QSqlQuery q(db());
        if (q.exec(sql))
            return true;
        m_lastError = q.lastError().text();
        return false;
    }
    QString lastError() const { return m_lastError; }

    // The first column of the first row of a select, or an invalid variant.
    QVariant scalar(const QString &sql)
    {
        QSqlQuery q(db());
        if (!q.exec(sql)) {
            m_lastError = q.lastError().text();
            return {};
        }
        return q.next() ? q.value(0) : QVariant();
    }

    int rowCount() { return scalar(QStringLiteral("SELECT COUNT(*) FROM SystemInfo")).toInt(); }

    // Inserts a row with an explicit stamp, as an older run of the service would have left it.
    bool insertStamped(const QString &stamp, int type, const QString &message)
    {
        QSqlQuery q(db());
        q.prepare(
            QStringLiteral("INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)"));
        q.addBindValue(stamp);
        q.addBindValue(type);
        q.addBindValue(message);
        if (q.exec())
            return true;
        m_lastError = q.lastError().text();
        return false;
    }

    struct Row
    {
        qint64 id = 0;
        QString datetime;
        int type = 0;
        QString message;
    };

    // The stored bytes of every message in id order (reading them as text through the
    // toolkit's driver would let SQLite replace U+FFFE and U+FFFF on the way to UTF-16).
    QVector<QByteArray> messageBytes()
    {
        QVector<QByteArray> bytes;
        QSqlQuery q(db());
        if (q.exec(QStringLiteral("SELECT CAST(message AS BLOB) FROM SystemInfo ORDER BY id"))) {
            while (q.next())
                bytes.push_back(q.value(0).toByteArray());
        }
        return bytes;
    }

    // Every row of the table in id order.
    QVector<Row> allRows()
    {
        QVector<Row> rows;
        QSqlQuery q(db());
        q.setForwardOnly(true);
        if (!q.exec(
                QStringLiteral("SELECT id, datetime, type, message FROM SystemInfo ORDER BY id"))) {
            m_lastError = q.lastError().text();
            return rows;
        }
        while (q.next())
            rows.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toInt(),
                            q.value(3).toString()});
        return rows;
    }

private:
    static std::atomic<int> &counter()
    {
        static std::atomic<int> n{0};
        return n;
    }

    QString m_name;
    bool m_open = false;
    QString m_openError;
    QString m_lastError;
};

// Creates "dbLog.db" with the table as earlier versions of the service made it: no index.
inline bool createLegacyStore(const QString &file = kDbFile)
{
    AuxDb aux(file);
    return aux.isOpen() && aux.exec(TestLogFile::tableStatement());
}

// Rows stamped at fixed moments around one day, inserted through a connection of the test's own.
inline bool insertDayFixture()
{
    AuxDb aux;
    const struct
    {
        const char *stamp;
        int type;
        const char *message;
    } rows[] = {
        {"2024-03-09 23:59:59", 1, "prev-last"}, {"2024-03-10 00:00:00", 1, "first"},
        {"2024-03-10 00:00:01", 1, "early"},     {"2024-03-10 12:00:00", 2, "other type"},
        {"2024-03-10 12:00:00", 1, "noon"},      {"2024-03-10 23:59:58", 1, "late"},
        {"2024-03-10 23:59:59", 1, "last"},      {"2024-03-11 00:00:00", 1, "next-first"},
    };
    for (const auto &row : rows) {
        if (!aux.insertStamped(QString::fromLatin1(row.stamp), row.type,
                               QString::fromLatin1(row.message)))
            return false;
    }
    return true;
}

// Redirects file descriptor 1 into a file until finish() (or destruction).
class StdoutCapture
{
public:
    explicit StdoutCapture(const QString &path) : m_path(path)
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const QByteArray native = QFile::encodeName(path);
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (m_saved >= 0 && fd >= 0 && ::dup2(fd, STDOUT_FILENO) >= 0)
            m_active = true;
        if (fd >= 0)
            ::close(fd);
    }
    ~StdoutCapture() { finish(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    bool isActive() const { return m_active; }

    // Restores standard output and returns everything written to it meanwhile.
    QByteArray finish()
    {
        if (m_active) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            m_active = false;
            QFile f(m_path);
            if (f.open(QIODevice::ReadOnly))
                m_captured = f.readAll();
        }
        if (m_saved >= 0) {
            ::close(m_saved);
            m_saved = -1;
        }
        return m_captured;
    }

private:
    QString m_path;
    int m_saved = -1;
    bool m_active = false;
    QByteArray m_captured;
};

// Holds bytes that end exactly where readable memory ends: the page after them is mapped
// without access, so reading one byte past the end crashes the test.
class GuardedBytes
{
public:
    explicit GuardedBytes(const QByteArray &bytes)
    {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        const size_t dataPages = (static_cast<size_t>(bytes.size()) + page - 1) / page + 1;
        m_size = (dataPages + 1) * page;
        void *base =
            ::mmap(nullptr, m_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            return;
        m_base = static_cast<char *>(base);
        char *guard = m_base + dataPages * page;
        if (::mprotect(guard, page, PROT_NONE) != 0)
            return;
        m_data = guard - bytes.size();
        if (!bytes.isEmpty())
            std::memcpy(m_data, bytes.constData(), static_cast<size_t>(bytes.size()));
        m_len = bytes.size();
    }
    ~GuardedBytes()
    {
        if (m_base)
            ::munmap(m_base, m_size);
    }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    bool isValid() const { return m_data != nullptr; }
    const char *data() const { return m_data; }
    int size() const { return m_len; }

private:
    char *m_base = nullptr;
    size_t m_size = 0;
    char *m_data = nullptr;
    int m_len = 0;
};

// Short description of where two texts differ, for failure messages on long messages.
inline QByteArray describeMismatch(const QString &actual, const QString &expected)
{
    int i = 0;
    while (i < actual.size() && i < expected.size() && actual.at(i) == expected.at(i))
        ++i;
    return QStringLiteral("lengths %1 (actual) vs %2 (expected), first difference at %3: "
                          "actual U+%4, expected U+%5")
        .arg(actual.size())
        .arg(expected.size())
        .arg(i)
        .arg(i < actual.size() ? actual.at(i).unicode() : 0, 4, 16, QLatin1Char('0'))
        .arg(i < expected.size() ? expected.at(i).unicode() : 0, 4, 16, QLatin1Char('0'))
        .toUtf8();
}

// Messages that a careless statement builder would mangle, or that decode in unusual ways.
// Each row is the raw bytes that a caller hands to the service.
inline QVector<QPair<const char *, QByteArray>> hostileMessages()
{
    QByteArray longMessage;
    longMessage.reserve(1 << 20);
    while (longMessage.size() < (1 << 20))
        longMessage += QByteArrayLiteral("long line '%1' \xe6\x8a\xa5\xe8\xad\xa6 ");
    // Just beyond what the queue copies inline, with bytes that decode to U+FFFD.
    QByteArray longInvalid(1025, 'x');
    longInvalid[0] = '\xe6';
    longInvalid[1024] = '\xff';
    return {
        {"single quotes", QByteArrayLiteral("it's 'quoted' ''")},
        {"lone quote", QByteArrayLiteral("'")},
        {"placeholders", QByteArrayLiteral("%1 %2 %3 %99 %L1")},
        {"backslashes", QByteArrayLiteral("C:\\logs\\new\\ \\' \\\\")},
        {"embedded NUL", QByteArray("ab\0cd", 5)},
        {"NUL only", QByteArray(1, '\0')},
        {"statement injection", QByteArrayLiteral("'); DROP TABLE SystemInfo; --")},
        {"injection closing both values", QByteArrayLiteral("x'), ('9', 'y")},
        {"invalid UTF-8", QByteArrayLiteral("bad \xff\xfe end \xc3(")},
        {"truncated sequence at end", QByteArrayLiteral("abc\xe2\x82")},
        {"encoded surrogate", QByteArrayLiteral("\xed\xa0\x80 x")},
        {"leading byte order mark", QByteArrayLiteral("\xef\xbb\xbf"
                                                      "after")},
        {"byte order mark only", QByteArrayLiteral("\xef\xbb\xbf")},
        {"byte order mark, then invalid", QByteArrayLiteral("\xef\xbb\xbf\x80\xbf")},
        {"invalid after eight ASCII bytes", QByteArrayLiteral("abcdefgh\xc3")},
        {"lone continuation bytes", QByteArrayLiteral("\x80\xbf\x80 ok")},
        {"truncated 4-byte sequence at end", QByteArrayLiteral("ok \xf0\x9f\x98")},
        {"byte order mark inside", QByteArrayLiteral("in\xef\xbb\xbfside")},
        {"overlong forms", QByteArrayLiteral("\xc0\xaf \xe0\x80\xaf \xf0\x80\x80\xaf")},
        {"beyond U+10FFFF", QByteArrayLiteral("\xf4\x90\x80\x80 \xf5\x80\x80\x80")},
        {"highest code point", QByteArrayLiteral("\xf4\x8f\xbf\xbf")},
        {"noncharacters", QByteArrayLiteral("\xef\xbf\xbe \xef\xb7\x90 \xf0\x9f\xbf\xbf")},
        {"4-byte UTF-8", QByteArrayLiteral("\xf0\x9f\x98\x80 and \xf0\x90\x8d\x88")},
        {"Chinese", QByteArrayLiteral("\xe6\x8a\xa5\xe8\xad\xa6\xe8\xae\xb0\xe5\xbd\x95")},
        {"trailing line feed", QByteArrayLiteral("abc\n")},
        {"CR LF and tabs", QByteArrayLiteral("\tline1\r\nline2\r\n")},
        {"empty", QByteArray()},
        {"very long", longMessage},
        {"long, invalid UTF-8", longInvalid},
    };
}

} // namespace TestSupport
