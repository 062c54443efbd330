// The window's long listings beside glogg (Debian package glogg), each in a process of its own,
// measured the same way from outside: the time from starting the program to the first moment
// after which it uses under 10 % of a core for 200 ms (the listing shown, everything settled),
// and its peak resident size (VmHWM) then. The window is started in the log's directory and
// queries the day at once, as an operator presses "查询"; glogg is given the same records as the
// window's export writes them, on the command line. Beside those, what the window's process says
// of itself: the memory its first listing added, the peak of a second query of the same day
// (which must let the first listing go before or while it builds the second) and the time from
// the click to idle.

#include "BesideGlogg.h"

#include "DayExport.h"
#include "Tallyview.h"
#include "qzSysLog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sqlite3.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

qint64 statusKib(const QString &pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// User and system CPU time of a process in milliseconds; -1 once it is gone.
double processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold spaces, in parentheses.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 / sysconf(_SC_CLK_TCK);
}

struct Outside
{
    double idleMs = -1; // from the start to the beginning of the first quiet 200 ms
    qint64 peakKib = -1;
};

// Samples the process every 10 ms until it has used under 20 ms of CPU over 200 ms; with a
// `mark`, only from the moment it has written that line (the window's listing shown, which a
// quiet moment while it waits for the file must not be taken for). What it writes goes to
// *output.
Outside watchUntilIdle(QProcess &process, const QElapsedTimer &started, QByteArray *output,
                       const QByteArray &mark = QByteArray())
{
    struct Sample
    {
        double at;
        double cpu;
    };
    std::vector<Sample> samples;
    const QString pid = QString::number(process.processId());
    Outside seen;
    while (started.elapsed() < 600000) {
        const double cpu = processCpuMs(process.processId());
        if (cpu < 0)
            break;
        samples.push_back({double(started.nsecsElapsed()) / 1e6, cpu});
        seen.peakKib = statusKib(pid, "VmHWM:");
        process.waitForReadyRead(0);
        *output += process.readAllStandardOutput();
        if (!mark.isEmpty() && !output->contains(mark)) {
            samples.clear();
            QThread::msleep(10);
            continue;
        }
        for (const Sample &s : samples) {
            if (samples.back().at - s.at < 200)
                break;
            if (s.at > 50 && samples.back().cpu - s.cpu < 20 && samples.back().at - s.at < 230) {
                seen.idleMs = s.at;
                return seen;
            }
        }
        QThread::msleep(10);
    }
    return seen;
}

void startQuiet(QProcess &process, const QString &program, const QStringList &arguments,
                const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Its settings and session in a scratch home of their own, the same for every run.
    env.insert(QStringLiteral("HOME"), home);
    process.setProcessEnvironment(env);
    process.setProgram(program);
    process.setArguments(arguments);
}

// The day's records of category 1 as the window's export writes them.
bool exportDay(const QString &day, const QString &path, qint64 *bytes)
{
    QSqlError error;
    const SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(day, 1, &error);
    QFile file(path);
    if (error.isValid() || !file.open(QIODevice::WriteOnly))
        return false;
    std::string text;
    for (const SystemLog::LogRow &row : rows) {
        SystemLog::DayExport::appendRecord(text, row);
        if (text.size() > (1 << 20)) {
            file.write(text.data(), qint64(text.size()));
            text.clear();
        }
    }
    file.write(text.data(), qint64(text.size()));
    *bytes = file.size();
    return true;
}

struct Inside
{
    qint64 beforeKib = -1;
    qint64 firstKib = -1;  // added at the first listing's peak
    qint64 secondKib = -1; // added at the second query's peak, from the same start
    double clickMs = -1;   // the first click to idle
};

Inside readInside(QProcess &process, QByteArray output)
{
    Inside inside;
    process.waitForFinished(600000);
    output += process.readAllStandardOutput();
    for (const QByteArray &line : output.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 5 && f[0] == "inside") {
            inside.beforeKib = f[1].toLongLong();
            inside.firstKib = f[2].toLongLong();
            inside.secondKib = f[3].toLongLong();
            inside.clickMs = f[4].toDouble();
        }
    }
    return inside;
}

qint64 resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusKib(QStringLiteral("self"), "VmRSS:");
}

double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Runs the event loop until the process uses under 10 % of a core over 200 ms; answers the
// milliseconds from the timer's start to the beginning of that quiet span.
double untilIdle(const QElapsedTimer &since)
{
    for (;;) {
        const double start = double(since.nsecsElapsed()) / 1e6;
        const double cpu = cpuMs();
        QEventLoop span;
        QTimer::singleShot(200, &span, &QEventLoop::quit);
        span.exec();
        if (cpuMs() - cpu < 20)
            return start;
    }
}

double clickAndSettle(QAbstractButton *query, const char *mark = nullptr)
{
    QElapsedTimer t;
    t.start();
    query->click();
    while (QApplication::overrideCursor())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    if (mark) {
        std::printf("%s\n", mark);
        std::fflush(stdout);
    }
    return untilIdle(t);
}

} // namespace

bool addHugeRecord(const QString &stamp, int mib)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open("dbLog.db", &db) == SQLITE_OK;
    sqlite3_stmt *insert = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(db, "INSERT INTO SystemInfo(datetime, type, message) VALUES(?, 1, ?)",
                            -1, &insert, nullptr) == SQLITE_OK;
    // Lines of a machine's dump: 100 characters each.
    std::string message;
    message.reserve(size_t(mib) << 20);
    while (message.size() + 100 <= (size_t(mib) << 20))
        message += std::string(99, 'x') + '\n';
    const QByteArray when = stamp.toLatin1();
    ok = ok && sqlite3_bind_text(insert, 1, when.constData(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
         sqlite3_bind_text(insert, 2, message.data(), int(message.size()), SQLITE_STATIC) ==
             SQLITE_OK &&
         sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return ok;
}

int runListingChild(const QString &day)
{
    Tallyview window;
    window.show();
    auto *query = window.findChild<QAbstractButton *>(QStringLiteral("pushButton"));
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(1);
    window.findChild<QDateEdit *>(QStringLiteral("dateEdit"))
        ->setDate(QDate::fromString(day, QStringLiteral("yyyy-MM-dd")));
    const qint64 before = statusKib(QStringLiteral("self"), "VmRSS:");
    const double clickMs = clickAndSettle(query, "listed");
    const qint64 first = statusKib(QStringLiteral("self"), "VmHWM:") - before;
    // Quiet for long enough that the watcher outside has seen the idle moment.
    QThread::msleep(600);
    resetPeak();
    clickAndSettle(query);
    const qint64 second = statusKib(QStringLiteral("self"), "VmHWM:") - before;
    std::printf("inside %lld %lld %lld %.0f\n", before, first, second, clickMs);
    std::fflush(stdout);
    return 0;
}

void benchBesideGlogg(const QString &self, const QString &logDir,
                      const QList<QPair<QString, int>> &days)
{
    const QString glogg = QStandardPaths::findExecutable(QStringLiteral("glogg"));
    QTemporaryDir scratch;
    std::printf("\nBeside glogg: each program in a process of its own, from its start until idle "
                "(W: the window querying the day at start; G: glogg opening the same records as "
                "exported text)%s\n",
                glogg.isEmpty() ? " -- glogg not found (Debian: glogg), W only" : "");
    std::printf("  %-12s %8s %9s %9s %6s %8s %8s %6s | %9s %9s %9s %7s\n", "records", "text",
                "W idle", "G idle", "W/G", "W peak", "G peak", "W/G", "W click", "W 1st +",
                "W 2nd +", "2nd/1st");
    for (const auto &day : days) {
        const QString text = scratch.filePath(day.first + QStringLiteral(".txt"));
        qint64 bytes = 0;
        const QString before = QDir::currentPath();
        QDir::setCurrent(logDir);
        const bool exported = exportDay(day.first, text, &bytes);
        QDir::setCurrent(before);
        if (!exported) {
            std::fprintf(stderr, "exporting %s failed\n", qPrintable(day.first));
            continue;
        }

        QProcess window;
        startQuiet(window, self, {QStringLiteral("--child-list"), day.first},
                   scratch.filePath(QStringLiteral("home")));
        window.setWorkingDirectory(logDir);
        QElapsedTimer t;
        t.start();
        window.start();
        window.waitForStarted();
        QByteArray said;
        const Outside w = watchUntilIdle(window, t, &said, "listed");
        const Inside inside = readInside(window, said);

        Outside g;
        if (!glogg.isEmpty()) {
            QProcess peer;
            startQuiet(peer, glogg, {text}, scratch.filePath(QStringLiteral("home")));
            t.restart();
            peer.start();
            peer.waitForStarted();
            QByteArray unused;
            g = watchUntilIdle(peer, t, &unused);
            peer.kill();
            peer.waitForFinished();
        }
        std::printf("  %-12s %5lld MB %6.0f ms %6.0f ms %5.2fx %5lld MB %5lld MB %5.2fx | "
                    "%6.0f ms %6lld MB %6lld MB %6.2fx\n",
                    qPrintable(day.second == 1 ? QStringLiteral("1 of 100 MB")
                                               : QString::number(day.second)),
                    bytes >> 20, w.idleMs, g.idleMs, w.idleMs / g.idleMs, w.peakKib >> 10,
                    g.peakKib >> 10, double(w.peakKib) / double(g.peakKib), inside.clickMs,
                    inside.firstKib >> 10, inside.secondKib >> 10,
                    double(inside.secondKib) / double(inside.firstKib));
        QFile::remove(text);
    }
    std::printf("  targets at 1M and 3M: W/G idle <= 1.0x, W/G peak <= 1.5x, 2nd/1st <= 1.2x; "
                "one 100 MB record: W 1st + <= 400 MB\n");
}
