// Peak memory of the service while it stores one long message.

#include "Measurements.h"

#include "OutputHook.h"
#include "qzSysLog.h"

#include <QFile>

#include <cstring>
#include <thread>

namespace bench {

namespace {

// A field of /proc/self/status ("VmRSS", "VmHWM") in bytes.
long long statusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        die("cannot read /proc/self/status");
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').constFirst().toLongLong() * 1024;
    }
    die(format("no %s in /proc/self/status", field));
}

// Starts the process's peak resident set afresh from what it holds now.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        die("cannot reset the peak resident set (/proc/self/clear_refs)");
}

void waitUntilDone(SystemLog::qzLogDB &writer)
{
    while (writer.queuedCount() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

} // namespace

Row measureBigMessage(int megabytes)
{
    WorkDir dir;
    SystemLog::qzSysLog *service = SystemLog::qzSysLog::instance();
    service->start();
    SystemLog::qzLogDB &writer = service->writer();
    // The log is open and set up before the measurement starts.
    const QByteArray first = message64();
    SystemLog::outputHook(SystemLog::OtherInfo, first.constData(), first.size());
    waitUntilDone(writer);

    // Chinese and ASCII text, whole sequences only: what is stored is exactly these bytes.
    const int size = megabytes * 1000 * 1000;
    if (size % first.size() != 0)
        die("the message size must be a multiple of 64 bytes");
    QByteArray message(size, Qt::Uninitialized);
    for (int at = 0; at < size; at += first.size())
        std::memcpy(message.data() + at, first.constData(), std::size_t(first.size()));

    const long long before = statusBytes("VmRSS");
    resetPeak();
    const Clock::time_point start = Clock::now();
    SystemLog::outputHook(SystemLog::OtherInfo, message.constData(), message.size());
    const double hookSeconds = secondsSince(start);
    waitUntilDone(writer);
    const double storedSeconds = secondsSince(start);
    const long long peak = statusBytes("VmHWM") - before;
    const long long lost = writer.lostCount();
    SystemLog::qzSysLog::release();

    sqlite3 *db = openDb(dir.file("dbLog.db"), SQLITE_OPEN_READONLY);
    sqlite3_stmt *read = prepareOrDie(db, "SELECT message FROM SystemInfo WHERE id = 2");
    const bool found = sqlite3_step(read) == SQLITE_ROW;
    const bool same =
        found && sqlite3_column_bytes(read, 0) == size &&
        std::memcmp(sqlite3_column_blob(read, 0), message.constData(), std::size_t(size)) == 0;
    sqlite3_finalize(read);
    sqlite3_close(db);
    if (lost != 0 || !same)
        die(format("the %d MB message was not stored as it was logged (%s, %lld lost)", megabytes,
                   found ? "stored other bytes" : "not stored", lost));
    std::printf("  long message: %d bytes, the hook call %.1f ms, stored after %.2f s; peak "
                "resident set %.1f MB above the %.1f MB before the call\n",
                size, hookSeconds * 1e3, storedSeconds, double(peak) / 1e6, double(before) / 1e6);
    std::fflush(stdout);

    Row row;
    row.figure = format("%d MB message, service peak memory (MB)", megabytes);
    row.value = format("%.1f", double(peak) / 1e6);
    row.baseline = format("%.1f", double(size) / 1e6);
    row.ratio = format("%.2f", double(peak) / double(size));
    row.target = "<= 3x";
    row.verdict = peak <= 3LL * size ? Row::Verdict::Pass : Row::Verdict::Fail;
    return row;
}

} // namespace bench
