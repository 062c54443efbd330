// libFuzzer target: arbitrary records through the output hook of a running log service.
//
// For every input the target hands each record to SystemLog::outputHook, waits until the writer
// thread has stored them and checks that the newest rows of each type are those records, in the
// order they were logged, that the bytes stored for each are exactly those of
// QString::fromUtf8(bytes, len).toUtf8(), read from the file as they are, and that nothing else
// was added. Any difference, a record reported lost or a record that never arrives aborts.
//
// Input format: a sequence of records, each
//   4 bytes  type, little-endian int32 (any value, negative ones included)
//   2 bytes  message length n, little-endian uint16
//   n bytes  message; when the input ends first, the message is what remains
// Bytes left over that cannot hold a header are ignored; at most kMaxRecords records are used.
//
// Each message is copied into a heap block of exactly n bytes before the hook is called; as soon
// as the hook returns the block is overwritten and freed. A hook that reads past len, or keeps the
// pointer and reads it later from the writer thread, is caught by AddressSanitizer where the read
// is instrumented or goes through the C library (strlen, memcpy, ...), and otherwise stores bytes
// that were not logged, which the comparison catches.

#include "OutputHook.h"
#include "qzLogDB.h"
#include "qzSysLog.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

using SystemLog::qzSysLog;

constexpr std::size_t kHeaderSize = 6;
constexpr int kMaxRecords = 16;
// The store is started afresh after this many inputs, so that the queries that check each input
// (which list every row of a type) stay short however long the fuzzer runs.
constexpr int kInputsPerStore = 64;
// A record that has not arrived after this long is taken as lost. Generous: the writer stores
// within a few 10 ms cycles, but sanitizer builds on a loaded machine are slow.
constexpr qint64 kStoreTimeoutMs = 30000;

const QString kFrom = QStringLiteral("0000-01-01 00:00:00");
const QString kTo = QStringLiteral("9999-12-31 23:59:59");

struct Record
{
    int type;
    QByteArray bytes;
};

QTemporaryDir *g_storeDir = nullptr;
std::map<int, int> g_rowsPerType; // rows of each type in the current store
long long g_lostBefore = 0;
int g_inputsInStore = 0;

[[noreturn]] void fail(const char *what, int type = 0)
{
    std::fprintf(stderr, "fuzz_output_hook: %s (type %d)\n", what, type);
    std::fflush(stderr);
    std::abort();
}

void printBytes(const char *label, const QByteArray &bytes)
{
    std::fprintf(stderr, "  %s (%d bytes): %s\n", label, static_cast<int>(bytes.size()),
                 bytes.toHex(' ').constData());
}

// The type and the stored bytes of the newest `count` rows of the store, oldest first, read from
// the file without any decoding.
std::vector<Record> newestRows(int count)
{
    const QByteArray path = QFile::encodeName(g_storeDir->filePath(QStringLiteral("dbLog.db")));
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail("cannot open the store to read its bytes");
    sqlite3_busy_timeout(db, int(kStoreTimeoutMs));
    sqlite3_stmt *select = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT type, CAST(message AS BLOB) FROM SystemInfo ORDER BY id DESC "
                           "LIMIT ?",
                           -1, &select, nullptr) != SQLITE_OK)
        fail("cannot read the store's bytes");
    sqlite3_bind_int(select, 1, count);
    std::vector<Record> rows;
    while (sqlite3_step(select) == SQLITE_ROW) {
        const auto *bytes = static_cast<const char *>(sqlite3_column_blob(select, 1));
        rows.insert(rows.begin(), Record{sqlite3_column_int(select, 0),
                                         QByteArray(bytes, sqlite3_column_bytes(select, 1))});
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return rows;
}

void log(int type, const QByteArray &bytes)
{
    const int len = bytes.size();
    // Exactly len bytes, no terminator: an over-read hits the end of the block.
    std::unique_ptr<char[]> block(new char[static_cast<std::size_t>(len)]);
    if (len > 0)
        std::memcpy(block.get(), bytes.constData(), static_cast<std::size_t>(len));
    SystemLog::outputHook(type, block.get(), len);
    if (len > 0)
        std::memset(block.get(), 0xA5, static_cast<std::size_t>(len));
}

SystemLog::LogRowList rowsOf(int type)
{
    QSqlError error;
    SystemLog::LogRowList rows = qzSysLog::instance()->queryRange(kFrom, kTo, type, &error);
    if (error.isValid()) {
        std::fprintf(stderr, "fuzz_output_hook: query failed: %s\n", qUtf8Printable(error.text()));
        fail("query failed", type);
    }
    return rows;
}

// Waits until every type of `expected` holds at least that many rows, then returns the rows.
std::map<int, SystemLog::LogRowList> waitForRows(const std::map<int, int> &expected)
{
    QElapsedTimer clock;
    clock.start();
    std::map<int, SystemLog::LogRowList> rows;
    auto pending = expected.begin();
    while (pending != expected.end()) {
        if (qzSysLog::instance()->writer().lostCount() != g_lostBefore)
            fail("the log service reported records as lost", pending->first);
        // Nothing can be stored before the writer has taken it off the queue.
        if (qzSysLog::instance()->writer().queuedCount() == 0) {
            SystemLog::LogRowList found = rowsOf(pending->first);
            if (found.size() >= pending->second) {
                rows[pending->first] = found;
                ++pending;
                continue;
            }
        }
        if (clock.elapsed() > kStoreTimeoutMs)
            fail("records were not stored in time", pending->first);
        QThread::usleep(200);
    }
    return rows;
}

// Points the working directory at a new, empty store, starts the service on it and waits until
// the writer thread has opened it. The fuzzer's own paths (corpus, artifacts) are relative to the
// directory it was started in, so that one is restored afterwards: both connections of the
// service hold the file by its full path once open.
void startFreshStore()
{
    qzSysLog::release();
    delete g_storeDir;
    g_storeDir = new QTemporaryDir();
    if (!g_storeDir->isValid())
        fail("cannot create a temporary directory");
    const QString startDir = QDir::currentPath();
    if (!QDir::setCurrent(g_storeDir->path()))
        fail("cannot enter the temporary directory");

    qzSysLog::instance()->start();
    g_rowsPerType.clear();
    g_lostBefore = qzSysLog::instance()->writer().lostCount();
    // The first record proves that the writer's own connection is open.
    log(0, QByteArrayLiteral("fuzz: store ready"));
    g_rowsPerType[0] = 1;
    waitForRows(g_rowsPerType);

    if (!QDir::setCurrent(startDir))
        fail("cannot return to the start directory");
    g_inputsInStore = 0;
}

void stopService()
{
    qzSysLog::release();
    delete g_storeDir;
    g_storeDir = nullptr;
}

std::vector<Record> decode(const std::uint8_t *data, std::size_t size)
{
    std::vector<Record> records;
    std::size_t pos = 0;
    while (size - pos >= kHeaderSize && records.size() < kMaxRecords) {
        const std::uint32_t rawType = std::uint32_t(data[pos]) | std::uint32_t(data[pos + 1]) << 8 |
                                      std::uint32_t(data[pos + 2]) << 16 |
                                      std::uint32_t(data[pos + 3]) << 24;
        const std::size_t declared = std::size_t(data[pos + 4]) | std::size_t(data[pos + 5]) << 8;
        pos += kHeaderSize;
        const std::size_t len = declared < size - pos ? declared : size - pos;
        Record record;
        std::memcpy(&record.type, &rawType, sizeof record.type);
        record.bytes = QByteArray(reinterpret_cast<const char *>(data + pos), int(len));
        records.push_back(record);
        pos += len;
    }
    return records;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The service's queries and its SQL driver want an application object; it lives until exit.
    static int appArgc = 1;
    static char *appArgv[] = {*argc > 0 ? (*argv)[0] : nullptr, nullptr};
    new QCoreApplication(appArgc, appArgv);
    startFreshStore();
    // End the writer thread before static objects are destroyed at exit.
    std::atexit(stopService);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::vector<Record> records = decode(data, size);
    if (records.empty())
        return 0;
    if (g_inputsInStore++ >= kInputsPerStore)
        startFreshStore();

    std::map<int, int> expected = g_rowsPerType;
    for (const Record &record : records) {
        log(record.type, record.bytes);
        ++expected[record.type];
    }

    const std::map<int, SystemLog::LogRowList> rows = waitForRows(expected);
    std::map<int, int> checked; // rows of each type compared so far, from the newest back
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        const SystemLog::LogRowList &found = rows.at(record->type);
        if (found.size() != expected[record->type])
            fail("more rows stored than records logged", record->type);
        const int index = found.size() - 1 - checked[record->type]++;
        if (found.at(index).first.size() != 19)
            fail("stored row has no date-time stamp", record->type);
    }
    // Ids follow the order of the hook calls: the newest rows are these records, in order.
    const std::vector<Record> stored = newestRows(int(records.size()));
    if (stored.size() != records.size())
        fail("fewer rows stored than records logged");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record &record = records[i];
        const QByteArray want =
            QString::fromUtf8(record.bytes.constData(), record.bytes.size()).toUtf8();
        if (stored[i].type != record.type || stored[i].bytes != want) {
            std::fprintf(stderr, "fuzz_output_hook: stored record %zu of this input differs\n", i);
            printBytes("logged", record.bytes);
            printBytes("expected", want);
            printBytes("stored", stored[i].bytes);
            fail("stored message differs", record.type);
        }
    }
    g_rowsPerType = expected;
    return 0;
}
