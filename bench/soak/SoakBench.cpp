// bench_soak: load that lasts. Two threads log through the output hook at a steady total rate
// for a fixed time while the GUI thread runs the viewer's query by day every 100 ms. Then the
// service is released and every row of "dbLog.db" is checked against what was logged.
//
//   bench_soak [--seconds N] [--rate N] [--alarm-every N] [--lock-at S [--lock-for S]]
//              [--read-side-at S [--read-side-for S]]
//
// With --lock-at, another process (this program, started again with --hold-lock) takes the
// write lock of "dbLog.db" S seconds into the load and holds it for --lock-for seconds (10 by
// default), the way a backup tool or a sqlite3 shell in a transaction would.
// With --read-side-at, another process (--hold-read) starts reading the side file
// "dbLog.pending.db" S seconds into the load (once it exists) and pauses after its first row for
// --read-side-for seconds, the way `sqlite3 dbLog.pending.db "select ..." | less` does while
// the pager waits: the file cannot be changed meanwhile.
//
// Each thread logs rate/2 records a second, paced against a steady clock in bursts once a
// millisecond: a burst logs every record that is due by then, so a late burst catches up and
// the rate holds over the run. A record's message is "t<thread>:<seq> <ms since epoch> <text>",
// 60 to 100 bytes of UTF-8. Records go to category 2 (系统状态记录); every alarm-every-th record
// of a thread goes to category 3 (报警记录), the category that the window lists, so that the
// table grows at the full rate while the listing stays a readable size.
//
// Figures: records stored against records logged (per thread, every sequence number exactly
// once and in order), the largest queue length (sampled every 10 ms), resident memory, the time
// of each query, and the delay between logging a record and its stored `datetime` stamp.

#include "BenchText.h"
#include "qzSysLog.h"
#include "spill/SpillListing.h"

#ifdef SOAK_WITH_WINDOW
#include "Tallyview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#else
#include <QCoreApplication>
#endif

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSqlError>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

using BenchText::format;
using BenchText::grouped;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr int kThreads = 2;
constexpr int kStatusType = 2;
constexpr int kAlarmType = 3;
constexpr int kQueryIntervalMs = 100;
constexpr int kSampleIntervalMs = 10;

const char *const kStatusTexts[] = {
    "系统状态：主轴转速 1200 rpm，负载 63%",
    "System status: spindle 1 temperature 41.5 C, coolant flow normal",
    "系统状态：CPU 占用 37%，内存占用 1536 MB，磁盘剩余 120 GB",
    "Disk usage at 71%, 120 GB free on /data, backup pending",
};
const char *const kAlarmTexts[] = {
    "报警：2 号电机过流，已自动停机",
    "Alarm: emergency stop pressed at station A3, line halted",
};

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_soak: %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(3);
}

double mib(long kb)
{
    return double(kb) / 1024.0;
}

// A "Vm...:" figure of /proc/self/status in kB, or -1.
long statusKb(const char *key)
{
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    const std::size_t keyLen = std::strlen(key);
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            value = std::strtol(line + keyLen + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

int categoryOf(long long seq, int alarmEvery)
{
    return seq % alarmEvery == alarmEvery - 1 ? kAlarmType : kStatusType;
}

const char *textOf(long long seq, int alarmEvery)
{
    if (categoryOf(seq, alarmEvery) == kAlarmType)
        return kAlarmTexts[(seq / alarmEvery) % 2];
    return kStatusTexts[seq % 4];
}

long long wallClockMs()
{
    return duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// One logging thread and what it saw of its own pacing.
struct Load
{
    int thread = 0;
    long long perSecond = 0;
    long long total = 0;
    std::atomic<long long> logged{0};
    // Written by the thread only, read after it has been joined.
    long long bursts = 0;
    long long largestBurst = 0;
    long long bytes = 0;
    int shortest = 1 << 30;
    int longest = 0;
    double seconds = 0;
};

void runLoad(Load &load, Clock::time_point start, int alarmEvery)
{
    char buffer[256];
    long long seq = 0;
    Clock::time_point tick = start;
    while (seq < load.total) {
        tick += milliseconds(1);
        std::this_thread::sleep_until(tick);
        const Clock::time_point now = Clock::now();
        const long long elapsedNs = duration_cast<nanoseconds>(now - start).count();
        const long long due = std::min(load.total, elapsedNs * load.perSecond / 1000000000);
        // Ticks that passed while this burst was late are not slept through again: the burst
        // has already taken their records.
        if (now - tick > milliseconds(1))
            tick = start + milliseconds(elapsedNs / 1000000);
        if (due <= seq)
            continue;
        ++load.bursts;
        load.largestBurst = std::max(load.largestBurst, due - seq);
        for (; seq < due; ++seq) {
            const int len = std::snprintf(buffer, sizeof buffer, "t%d:%lld %lld %s", load.thread,
                                          seq, wallClockMs(), textOf(seq, alarmEvery));
            SystemLog::outputHook(categoryOf(seq, alarmEvery), buffer, len);
            load.bytes += len;
            load.shortest = std::min(load.shortest, len);
            load.longest = std::max(load.longest, len);
        }
        load.logged.store(seq, std::memory_order_relaxed);
    }
    load.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

long long loggedSoFar(const std::vector<std::unique_ptr<Load>> &loads)
{
    long long n = 0;
    for (const auto &load : loads)
        n += load->logged.load(std::memory_order_relaxed);
    return n;
}

// Queue length every 10 ms, resident memory every 100 ms, a progress line every 10 s.
struct Sampler
{
    std::atomic<bool> stop{false};
    int largestQueue = 0;
    double largestQueueAtS = 0;
    long long samples = 0;
    long peakRssKb = 0;
};

void runSampler(Sampler &s, const std::vector<std::unique_ptr<Load>> &loads,
                Clock::time_point start)
{
    SystemLog::qzLogDB &writer = SystemLog::qzSysLog::instance()->writer();
    Clock::time_point tick = Clock::now();
    while (!s.stop.load(std::memory_order_acquire)) {
        tick += milliseconds(kSampleIntervalMs);
        std::this_thread::sleep_until(tick);
        const int queued = writer.queuedCount();
        const double atS = std::chrono::duration<double>(Clock::now() - start).count();
        ++s.samples;
        if (queued > s.largestQueue) {
            s.largestQueue = queued;
            s.largestQueueAtS = atS;
        }
        if (s.samples % 10 == 0)
            s.peakRssKb = std::max(s.peakRssKb, statusKb("VmRSS"));
        if (s.samples % 1000 == 0) {
            std::printf("  %5.1f s: logged %s, queue %d (largest so far %d), RSS %.1f MiB\n", atS,
                        grouped(loggedSoFar(loads)).c_str(), queued, s.largestQueue,
                        mib(statusKb("VmRSS")));
            std::fflush(stdout);
        }
        if (Clock::now() - tick > milliseconds(kSampleIntervalMs))
            tick = Clock::now(); // late: sample again in 10 ms rather than in a burst
    }
}

struct Spread
{
    double median = 0;
    double p95 = 0;
    double worst = 0;
};

Spread spreadOf(std::vector<double> v)
{
    Spread s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.p95 = v[std::min(n - 1, static_cast<std::size_t>(0.95 * double(n)))];
    s.worst = v.back();
    return s;
}

// What the stored rows say, checked against what each thread logged.
struct StoredCheck
{
    long long rows = 0;
    std::vector<long long> found = std::vector<long long>(kThreads, 0);
    std::vector<long long> missing = std::vector<long long>(kThreads, 0);
    std::vector<long long> duplicated = std::vector<long long>(kThreads, 0);
    std::vector<long long> outOfOrder = std::vector<long long>(kThreads, 0);
    long long foreign = 0; // rows that are no record of this run
    long long altered = 0; // a logged record whose category or text differs
    long long badStamps = 0;
    long long inSideFile = 0;              // of rows: still in the side file after release
    long long inSpill = 0;                 // of rows: still in the spill journal after release
    long long damagedSegments = 0;         // spill segments with bytes that do not check out
    std::map<long long, long long> delays; // stored second - logging second -> rows
};

// Parses "t<thread>:<seq> <ms> " at the start of a message; *rest points after it.
bool parseMessage(const char *m, int *thread, long long *seq, long long *ms, const char **rest)
{
    if (!m || m[0] != 't' || m[1] < '0' || m[1] > '9' || m[2] != ':')
        return false;
    *thread = m[1] - '0';
    char *end = nullptr;
    *seq = std::strtoll(m + 3, &end, 10);
    if (end == m + 3 || *end != ' ')
        return false;
    const char *p = end + 1;
    *ms = std::strtoll(p, &end, 10);
    if (end == p || *end != ' ')
        return false;
    *rest = end + 1;
    return true;
}

// Reads the rows of "dbLog.db", then those still waiting in the side file "dbLog.pending.db" of
// an earlier version, then those waiting in the spill journal "dbLog.spill" (a release that
// cannot wait any longer leaves them there, newer than any in the log, for the next start to
// move; read from the log's marks on, as `tallylog list --pending` reads them).
StoredCheck checkStored(const std::vector<std::unique_ptr<Load>> &loads, int alarmEvery)
{
    StoredCheck c;
    std::vector<std::vector<unsigned char>> seen(kThreads);
    std::vector<long long> last(kThreads, -1);
    for (int t = 0; t < kThreads; ++t)
        seen[static_cast<std::size_t>(t)].assign(static_cast<std::size_t>(loads[t]->total), 0);
    // Stamps repeat for a whole second's rows: each distinct text is converted once.
    std::unordered_map<std::string, long long> stampSeconds;
    const auto check = [&](const char *stamp, int type, const char *message) {
        ++c.rows;
        int thread = -1;
        long long seq = -1;
        long long ms = 0;
        const char *rest = nullptr;
        if (!parseMessage(message, &thread, &seq, &ms, &rest) || thread >= kThreads || seq < 0 ||
            seq >= loads[thread]->total) {
            ++c.foreign;
            return;
        }
        const std::size_t t = static_cast<std::size_t>(thread);
        ++c.found[t];
        unsigned char &mark = seen[t][static_cast<std::size_t>(seq)];
        if (mark)
            ++c.duplicated[t];
        mark = 1;
        if (seq <= last[t])
            ++c.outOfOrder[t];
        last[t] = std::max(last[t], seq);
        if (type != categoryOf(seq, alarmEvery) || std::strcmp(rest, textOf(seq, alarmEvery)) != 0)
            ++c.altered;

        const std::string key = stamp ? stamp : "";
        auto it = stampSeconds.find(key);
        if (it == stampSeconds.end()) {
            const QDateTime local = QDateTime::fromString(QString::fromStdString(key),
                                                          QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            it = stampSeconds.emplace(key, local.isValid() ? local.toSecsSinceEpoch() : -1).first;
        }
        if (it->second < 0) {
            ++c.badStamps;
            return;
        }
        // The stamp holds whole seconds: compare it with the logging time cut to its second.
        const long long loggedSecond = ms / 1000;
        ++c.delays[it->second - loggedSecond];
    };

    for (const char *file : {"dbLog.db", "dbLog.pending.db"}) {
        const QString name = QString::fromLatin1(file);
        if (name != QLatin1String("dbLog.db") && !QFileInfo::exists(name))
            break;
        sqlite3 *db = nullptr;
        const std::string path = QFileInfo(name).absoluteFilePath().toUtf8().toStdString();
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            die("cannot open " + path + ": " + sqlite3_errmsg(db));
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT datetime, type, message FROM SystemInfo ORDER BY id", -1,
                               &stmt, nullptr) != SQLITE_OK)
            die(std::string("cannot read SystemInfo: ") + sqlite3_errmsg(db));
        const long long before = c.rows;
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            check(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
                  sqlite3_column_int(stmt, 1),
                  reinterpret_cast<const char *>(sqlite3_column_text(stmt, 2)));
        if (rc != SQLITE_DONE)
            die(std::string("reading SystemInfo failed: ") + sqlite3_errmsg(db));
        if (name != QLatin1String("dbLog.db"))
            c.inSideFile += c.rows - before;
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }

    QHash<QString, qint64> marks;
    QString why;
    if (!SystemLog::Spill::readMarks(QStringLiteral("dbLog.db"), &marks, &why))
        die("cannot read the spill marks of dbLog.db: " + why.toStdString());
    for (const SystemLog::Spill::SegmentListing &segment :
         SystemLog::Spill::listJournal(QStringLiteral("dbLog.spill"), marks)) {
        if (!segment.sound || segment.skipped > 0 || segment.readError != 0)
            ++c.damagedSegments;
        for (const SystemLog::Spill::WaitingRecord &r : segment.records) {
            check(r.stamp.constData(), r.type, r.message.constData());
            ++c.inSpill;
        }
    }

    for (std::size_t t = 0; t < static_cast<std::size_t>(kThreads); ++t)
        c.missing[t] = static_cast<long long>(std::count(seen[t].begin(), seen[t].end(), 0));
    return c;
}

long long delayAtRank(const std::map<long long, long long> &histogram, long long rank)
{
    long long seen = 0;
    for (const auto &bucket : histogram) {
        seen += bucket.second;
        if (seen > rank)
            return bucket.first;
    }
    return 0;
}

struct Row
{
    std::string figure;
    std::string value;
    std::string expected;
    const char *result;
};

void printTable(const std::vector<Row> &rows)
{
    const char *const line = "%-46s %-50s %-12s %s\n";
    std::printf(line, "figure", "value", "expected", "result");
    std::printf("%s\n", std::string(118, '-').c_str());
    for (const Row &r : rows)
        std::printf(line, r.figure.c_str(), r.value.c_str(), r.expected.c_str(), r.result);
}

int intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum,
              int maximum)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        die(format("--%s needs a number from %d to %d", qUtf8Printable(option.names().constFirst()),
                   minimum, maximum));
    return value;
}

} // namespace

// The other process of --lock-at: holds the write lock of the file for `seconds`.
int holdWriteLock(const char *path, int seconds)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        die(std::string("cannot open ") + path);
    sqlite3_busy_timeout(db, 60000);
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        die(std::string("cannot lock ") + path + ": " + sqlite3_errmsg(db));
    std::printf("locked\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}

// The other process of --read-side-at: reads the file, paused after its first row (once the
// file has one).
int holdRead(const char *path, int seconds)
{
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    for (; Clock::now() < end; std::this_thread::sleep_for(milliseconds(20))) {
        sqlite3 *db = nullptr;
        sqlite3_stmt *stmt = nullptr;
        if (QFileInfo::exists(QString::fromLocal8Bit(path)) &&
            sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT * FROM SystemInfo ORDER BY id", -1, &stmt, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            std::printf("reading\n");
            std::fflush(stdout);
            std::this_thread::sleep_until(end);
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--hold-lock") == 0)
        return holdWriteLock(argv[2], std::atoi(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "--hold-read") == 0)
        return holdRead(argv[2], std::atoi(argv[3]));
#ifdef SOAK_WITH_WINDOW
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    QCoreApplication::setApplicationName(QStringLiteral("bench_soak"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Logs at a steady rate from two threads while the viewer queries every 100 ms, then "
        "checks that every record was stored."));
    parser.addHelpOption();
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("How long to log."), QStringLiteral("n"),
                                           QStringLiteral("60"));
    const QCommandLineOption rateOption(QStringLiteral("rate"),
                                        QStringLiteral("Records a second, both threads together."),
                                        QStringLiteral("n"), QStringLiteral("20000"));
    const QCommandLineOption alarmOption(
        QStringLiteral("alarm-every"),
        QStringLiteral("Every n-th record of a thread is an alarm (the listed category)."),
        QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption lockAtOption(
        QStringLiteral("lock-at"),
        QStringLiteral("Another process takes the file's write lock this many seconds into the "
                       "load (-1: never)."),
        QStringLiteral("s"), QStringLiteral("-1"));
    const QCommandLineOption lockForOption(QStringLiteral("lock-for"),
                                           QStringLiteral("How long it holds the lock."),
                                           QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption readSideAtOption(
        QStringLiteral("read-side-at"),
        QStringLiteral("Another process starts reading the side file this many seconds into the "
                       "load and pauses after its first row (-1: never)."),
        QStringLiteral("s"), QStringLiteral("-1"));
    const QCommandLineOption readSideForOption(QStringLiteral("read-side-for"),
                                               QStringLiteral("How long the reader pauses."),
                                               QStringLiteral("s"), QStringLiteral("20"));
    parser.addOptions({secondsOption, rateOption, alarmOption, lockAtOption, lockForOption,
                       readSideAtOption, readSideForOption});
#ifdef SOAK_WITH_WINDOW
    const QCommandLineOption directOption(
        QStringLiteral("direct"),
        QStringLiteral("Run the window's query through the service instead of clicking the "
                       "window (to tell the database's share of a click from the window's)."));
    parser.addOption(directOption);
#endif
    parser.process(app);
#ifdef SOAK_WITH_WINDOW
    const bool useWindow = !parser.isSet(directOption);
#else
    const bool useWindow = false;
#endif
    const int seconds = intOption(parser, secondsOption, 1, 3600);
    const int rate = intOption(parser, rateOption, kThreads, 1000000);
    const int alarmEvery = intOption(parser, alarmOption, 1, 1000000000);
    const int lockAt = intOption(parser, lockAtOption, -1, 3600);
    const int lockFor = intOption(parser, lockForOption, 1, 3600);
    const int readSideAt = intOption(parser, readSideAtOption, -1, 3600);
    const int readSideFor = intOption(parser, readSideForOption, 1, 3600);

    QTemporaryDir workDir;
    if (!workDir.isValid())
        die("cannot create a temporary directory: " + workDir.errorString().toStdString());
    const QString home = QDir::currentPath();
    if (!QDir::setCurrent(workDir.path()))
        die("cannot enter " + workDir.path().toStdString());

#ifdef SOAK_WITH_WINDOW
    const char *queryBy = useWindow ? "a click on the window's 查询 (pushButton)"
                                    : "qzSysLog::queryDay(today, 3, &error) (--direct)";
    const QString platform = QGuiApplication::platformName();
#else
    const char *queryBy = "qzSysLog::queryDay(today, 3, &error) (the window is not part of this "
                          "build)";
    const QString platform = QStringLiteral("none");
#endif
    std::printf("bench_soak: Qt %s, SQLite %s, %u hardware threads, platform %s\n", qVersion(),
                sqlite3_libversion(), std::thread::hardware_concurrency(),
                qUtf8Printable(platform));
    std::printf("%d s at %s records/s from %d threads; every %d-th record of a thread is an alarm "
                "(category 3), the rest category 2; every %d ms: %s, listing category 3 for "
                "today; working directory %s\n\n",
                seconds, grouped(rate).c_str(), kThreads, alarmEvery, kQueryIntervalMs, queryBy,
                qUtf8Printable(workDir.path()));
    std::fflush(stdout);
    const QDate firstDay = QDate::currentDate();

    // The service runs from here on; with the window, its constructor starts it.
#ifdef SOAK_WITH_WINDOW
    std::unique_ptr<Tallyview> window;
    QAbstractButton *queryButton = nullptr;
    QTextEdit *view = nullptr;
    if (useWindow) {
        window = std::make_unique<Tallyview>();
        window->show();
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        auto *categoryList = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
        queryButton = window->findChild<QAbstractButton *>(QStringLiteral("pushButton"));
        view = window->findChild<QTextEdit *>(QStringLiteral("textEdit"));
        if (!categoryList || !queryButton || !view)
            die("the window has no comboBox, pushButton or textEdit");
        categoryList->setCurrentIndex(kAlarmType);
    }
#endif
    if (!useWindow)
        SystemLog::qzSysLog::instance()->start();
    const long rssStartKb = statusKb("VmRSS");

    std::vector<std::unique_ptr<Load>> loads;
    for (int t = 0; t < kThreads; ++t) {
        auto load = std::make_unique<Load>();
        load->thread = t;
        load->perSecond = rate / kThreads + (t < rate % kThreads ? 1 : 0);
        load->total = load->perSecond * seconds;
        loads.push_back(std::move(load));
    }
    long long totalToLog = 0;
    for (const auto &load : loads)
        totalToLog += load->total;

    const Clock::time_point start = Clock::now() + milliseconds(20);
    Sampler sampler;
    std::thread samplerThread(runSampler, std::ref(sampler), std::cref(loads), start);
    std::atomic<int> finished{0};
    std::vector<std::thread> loadThreads;
    for (auto &load : loads) {
        loadThreads.emplace_back([&finished, &load, start, alarmEvery] {
            runLoad(*load, start, alarmEvery);
            finished.fetch_add(1, std::memory_order_release);
        });
    }

    std::vector<double> queryMs;
    int failedQueries = 0;
    int listed = 0;
    QTimer queryTimer;
    queryTimer.setTimerType(Qt::PreciseTimer);
    queryTimer.setInterval(kQueryIntervalMs);
    QObject::connect(&queryTimer, &QTimer::timeout, [&] {
        if (finished.load(std::memory_order_acquire) == kThreads) {
            queryTimer.stop();
            QCoreApplication::quit();
            return;
        }
        QElapsedTimer timer;
        timer.start();
#ifdef SOAK_WITH_WINDOW
        if (useWindow) {
            queryButton->click();
            queryMs.push_back(double(timer.nsecsElapsed()) / 1e6);
            const QString first = view->document()->firstBlock().text();
            if (first.startsWith(QString::fromUtf8("查询失败")))
                ++failedQueries;
            else if (first == QString::fromUtf8("没有找到相关记录"))
                listed = 0;
            else
                listed = view->document()->blockCount() / 2; // two lines per record
            return;
        }
#endif
        QSqlError error;
        const SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(
            QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")), kAlarmType, &error);
        queryMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (error.isValid())
            ++failedQueries;
        else
            listed = rows.size();
    });
    queryTimer.start();

    // The other program that holds the write lock for a while.
    QProcess locker;
    double lockedAtS = -1;
    double unlockedAtS = -1;
    const auto sinceStart = [start] {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    if (lockAt >= 0) {
        QObject::connect(&locker, &QProcess::readyReadStandardOutput,
                         [&] { lockedAtS = sinceStart(); });
        QObject::connect(&locker, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [&] { unlockedAtS = sinceStart(); });
        QTimer::singleShot(lockAt * 1000, [&] {
            locker.start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--hold-lock"), QStringLiteral("dbLog.db"),
                          QString::number(lockFor)});
        });
    }
    // The other program that reads the side file and pauses.
    QProcess reader;
    double readFromS = -1;
    double readUntilS = -1;
    if (readSideAt >= 0) {
        QObject::connect(&reader, &QProcess::readyReadStandardOutput,
                         [&] { readFromS = sinceStart(); });
        QObject::connect(&reader, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [&] { readUntilS = sinceStart(); });
        QTimer::singleShot(readSideAt * 1000, [&] {
            reader.start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--hold-read"), QStringLiteral("dbLog.pending.db"),
                          QString::number(readSideFor)});
        });
    }
    app.exec();
    if (locker.state() != QProcess::NotRunning && !locker.waitForFinished(lockFor * 1000 + 30000))
        die("the process holding the lock did not end");
    if (reader.state() != QProcess::NotRunning &&
        !reader.waitForFinished(readSideFor * 1000 + 30000))
        die("the process reading the side file did not end");

    for (std::thread &t : loadThreads)
        t.join();
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssEndKb = statusKb("VmRSS");
    const int queuedAtEnd = SystemLog::qzSysLog::instance()->writer().queuedCount();
    sampler.stop.store(true, std::memory_order_release);
    samplerThread.join();
    const long long lostByWriter = SystemLog::qzSysLog::instance()->writer().lostCount();
    const long long logged = loggedSoFar(loads);

    // Release stores whatever is still queued before it returns.
    QElapsedTimer releaseTimer;
    releaseTimer.start();
#ifdef SOAK_WITH_WINDOW
    window.reset();
#endif
    if (!useWindow)
        SystemLog::qzSysLog::release();

    const double releaseMs = double(releaseTimer.nsecsElapsed()) / 1e6;
    const long rssReleasedKb = statusKb("VmRSS");
    const long rssPeakKb = statusKb("VmHWM");
    const double dbMiB = double(QFileInfo(QStringLiteral("dbLog.db")).size()) / (1024.0 * 1024.0);

    QElapsedTimer checkTimer;
    checkTimer.start();
    const StoredCheck c = checkStored(loads, alarmEvery);
    const double checkS = double(checkTimer.elapsed()) / 1000.0;
    QDir::setCurrent(home);

    // The table.
    const bool storedEqual = c.rows == logged && logged == totalToLog;
    bool recordsOk = storedEqual && c.foreign == 0 && c.altered == 0 && c.damagedSegments == 0;
    std::vector<Row> rows;
    rows.push_back({"records logged",
                    format("%s (%d threads x %s/s x %d s)", grouped(logged).c_str(), kThreads,
                           grouped(rate / kThreads).c_str(), seconds),
                    grouped(totalToLog), logged == totalToLog ? "PASS" : "FAIL"});
    rows.push_back(
        {"records stored (rows after release)",
         format("%s (%s of them still in the side file, %s in dbLog.spill)",
                grouped(c.rows).c_str(), grouped(c.inSideFile).c_str(), grouped(c.inSpill).c_str()),
         "== logged", storedEqual ? "PASS" : "FAIL"});
    for (int t = 0; t < kThreads; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        const bool ok = c.found[i] == loads[i]->total && c.missing[i] == 0 &&
                        c.duplicated[i] == 0 && c.outOfOrder[i] == 0;
        recordsOk = recordsOk && ok;
        rows.push_back(
            {format("thread %d: sequence 0..%s", t, grouped(loads[i]->total - 1).c_str()),
             format("%s rows, %lld missing, %lld dup, %lld out of order",
                    grouped(c.found[i]).c_str(), c.missing[i], c.duplicated[i], c.outOfOrder[i]),
             "complete", ok ? "PASS" : "FAIL"});
    }
    rows.push_back({"rows of no record / record altered",
                    format("%lld / %lld", c.foreign, c.altered), "0 / 0",
                    c.foreign == 0 && c.altered == 0 ? "PASS" : "FAIL"});
    if (lockAt >= 0)
        rows.push_back({"write lock held by another process",
                        format("from %.1f s to %.1f s of the load", lockedAtS, unlockedAtS),
                        format("%d s", lockFor), "info"});
    if (readSideAt >= 0)
        rows.push_back({"side file read (paused) by another process",
                        readFromS < 0
                            ? std::string("never (no side file)")
                            : format("from %.1f s to %.1f s of the load", readFromS, readUntilS),
                        format("%d s", readSideFor), "info"});
    rows.push_back({"records counted lost by the writer", grouped(lostByWriter), "0",
                    lostByWriter == 0 ? "PASS" : "FAIL"});
    std::string bursts;
    long long bytes = 0;
    int shortest = 1 << 30;
    int longest = 0;
    double loggingSeconds = 0;
    for (const auto &load : loads) {
        bursts +=
            format("%st%d %lld", bursts.empty() ? "" : ", ", load->thread, load->largestBurst);
        bytes += load->bytes;
        shortest = std::min(shortest, load->shortest);
        longest = std::max(longest, load->longest);
        loggingSeconds = std::max(loggingSeconds, load->seconds);
    }
    rows.push_back(
        {"logging rate achieved",
         format("%s/s over %.2f s", grouped(std::llround(double(logged) / loggingSeconds)).c_str(),
                loggingSeconds),
         grouped(rate) + "/s", "info"});
    rows.push_back({"largest burst (records due at one 1 ms tick)", bursts, "", "info"});
    rows.push_back(
        {"message size, bytes (min / mean / max)",
         format("%d / %.1f / %d", shortest, logged ? double(bytes) / double(logged) : 0.0, longest),
         "60..100", "info"});
    rows.push_back({"largest queue length (10 ms samples)",
                    format("%s at %.1f s (%s samples)", grouped(sampler.largestQueue).c_str(),
                           sampler.largestQueueAtS, grouped(sampler.samples).c_str()),
                    "", "info"});
    rows.push_back({"queue length when logging ended", grouped(queuedAtEnd), "", "info"});
    rows.push_back({"resident memory at start (before load)", format("%.1f MiB", mib(rssStartKb)),
                    "", "info"});
    rows.push_back(
        {"resident memory at end of load", format("%.1f MiB", mib(rssEndKb)), "", "info"});
    rows.push_back(
        {"resident memory after release", format("%.1f MiB", mib(rssReleasedKb)), "", "info"});
    rows.push_back({"resident memory peak (VmHWM / 100 ms samples)",
                    format("%.1f MiB / %.1f MiB", mib(rssPeakKb), mib(sampler.peakRssKb)), "",
                    "info"});
    const Spread q = spreadOf(queryMs);
    rows.push_back({"query time, ms (median / p95 / worst)",
                    format("%.2f / %.2f / %.2f", q.median, q.p95, q.worst), "", "info"});
    rows.push_back({"queries run / at one per 100 ms",
                    format("%zu / %d", queryMs.size(), seconds * 1000 / kQueryIntervalMs), "",
                    "info"});
    rows.push_back({"queries that failed", std::to_string(failedQueries), "0",
                    failedQueries == 0 ? "PASS" : "FAIL"});
    rows.push_back({"records listed by the last query", grouped(listed), "", "info"});
    const long long stamped = c.rows - c.foreign - c.badStamps;
    if (stamped > 0) {
        std::string spread;
        for (const auto &bucket : c.delays)
            spread += format("%s%+llds:%s", spread.empty() ? "" : " ", bucket.first,
                             grouped(bucket.second).c_str());
        rows.push_back({"stamp delay, s (median / worst) [1]",
                        format("%lld / %lld", delayAtRank(c.delays, (stamped - 1) / 2),
                               c.delays.rbegin()->first),
                        "", "info"});
        rows.push_back({"stamp delay distribution (delay:rows)", spread, "", "info"});
    }
    if (c.badStamps)
        rows.push_back({"stored stamps that do not parse", grouped(c.badStamps), "0", "FAIL"});
    rows.push_back(
        {"release (stores the rest, ends the writer)", format("%.1f ms", releaseMs), "", "info"});
    rows.push_back({"dbLog.db size", format("%.1f MiB", dbMiB), "", "info"});
    recordsOk = recordsOk && lostByWriter == 0 && c.badStamps == 0;

    std::printf("\n");
    printTable(rows);
    std::printf("\n[1] stored `datetime` (whole seconds, local time) minus the logging time cut to "
                "its second: 0 means stored within the second it was logged; a true delay d gives "
                "floor-based values in (d-1, d+1).\n");
    std::printf("load ran %.2f s; the stored rows were checked in %.1f s\n", loadSeconds, checkS);
    if (QDate::currentDate() != firstDay)
        std::printf("note: the run crossed midnight; the window listed the first day only\n");
    std::printf("\nstored == logged: %s\n", storedEqual && recordsOk ? "PASS" : "FAIL");
    if (!recordsOk)
        return 1;
    return failedQueries == 0 ? 0 : 2;
}
