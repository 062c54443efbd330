// bench_window: how fast the viewer shows large listings and how long it takes to come up on a
// large log, each figure beside a baseline measured in the same run.
//
//   bench_window [--reps N] [--long-only | --beside-glogg] [--max-records N]
//
// (--beside-glogg: only the long listings beside glogg, 1b's last table.)
//
// 1. Listing 10,000 and 100,000 records: a click on "查询" in the real window (query + view),
//    the same query run alone, and QTextEdit::setPlainText of exactly the listed text in a plain
//    text view of the same size and font. Each time includes a repaint of the view.
// 1b. Long listings of 100,000, 300,000, 1,000,000 and 3,000,000 records (up to --max-records),
//    one run each: a click on "查询"; from the click to the view's first paint of the listing,
//    from the click until the process's CPU is idle (under 10% of a core over 200 ms), the memory
//    added at its peak (VmHWM, reset before, less the resident size before) beside the listing's
//    text in UTF-16, and Ctrl+End with its repaint. Beside each, the same listing text given to a
//    bare QPlainTextEdit of the same size and font with setPlainText, and the log service's query
//    of the day alone (Q: its time and peak), which the window listed from before.
//    Then the same listings beside glogg, each program in a process of its own (BesideGlogg.cpp).
// 2. Start-up: constructing the window up to its first paint, with a one-million-record
//    "dbLog.db" (first start, when the service adds its index, and a later start) beside the
//    same with no log file at all.
// 3. Finding in the listing of 10,000 and 100,000 records, a tenth of which hold the word: typing
//    the word into the window's find bar, key by key, each key timed until the view selects a
//    match of the text typed so far, the count is shown and the view is repainted (the slowest
//    key of a run and the last key); beside a plain QString::indexOf loop counting the same word
//    in the view's plain text, and the view's toPlainText. Each run starts on a fresh listing, so
//    the first key includes the bar taking the view's text.

#include "BesideGlogg.h"
#include "RecordListing.h"
#include "Tallyview.h"
#include "TestLogFile.h"
#include "qzSysLog.h"

#include <QAbstractButton>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QSqlError>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <sqlite3.h>

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

const char *const kMessages[] = {
    "参数修改：温度上限由 80.0 改为 85.0",    "用户 operator 登录，权限：操作员",
    "系统状态：主轴转速 1200 rpm，负载 63%",  "报警：2 号电机过流，已自动停机",
    "其他信息：配置文件已备份到 /var/backup",
};

struct DayLoad
{
    QString day;       // "yyyy-MM-dd"
    int perType;       // records of each of the five categories, spread over the day
    int onlyType = -1; // if set, perType records of this category only
};

// Writes "dbLog.db" in the working directory in one transaction with one prepared insert,
// through SQLite itself so that a million records take a few seconds. Records of a day are spread
// evenly over its seconds and interleave the five categories. With `marked`, every tenth record
// of each category has that message instead of its category's usual one.
bool generateLog(const std::vector<DayLoad> &days, qint64 *written, const char *marked = nullptr)
{
    *written = 0;
    sqlite3 *db = nullptr;
    if (sqlite3_open("dbLog.db", &db) != SQLITE_OK) {
        std::fprintf(stderr, "cannot open dbLog.db: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return false;
    }
    const QByteArray schema = TestLogFile::tableStatement().toUtf8();
    bool ok = sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF", nullptr, nullptr,
                           nullptr) == SQLITE_OK &&
              sqlite3_exec(db, schema.constData(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt *insert = nullptr;
    ok = ok &&
         sqlite3_prepare_v2(db, "INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)",
                            -1, &insert, nullptr) == SQLITE_OK;
    for (const DayLoad &d : days) {
        const QByteArray day = d.day.toLatin1();
        const long long total = static_cast<long long>(d.perType) * (d.onlyType >= 0 ? 1 : 5);
        for (long long i = 0; ok && i < total; ++i) {
            const long long second = i * 86400 / total;
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%s %02lld:%02lld:%02lld", day.constData(),
                          second / 3600, second / 60 % 60, second % 60);
            const int type = d.onlyType >= 0 ? d.onlyType : int(i % 5);
            sqlite3_bind_text(insert, 1, stamp, -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 2, type);
            const bool mark = marked && (i / 5) % 10 == 0;
            sqlite3_bind_text(insert, 3, mark ? marked : kMessages[type], -1, SQLITE_STATIC);
            ok = sqlite3_step(insert) == SQLITE_DONE;
            sqlite3_reset(insert);
            ++*written;
        }
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        std::fprintf(stderr, "generating dbLog.db failed: %s\n", sqlite3_errmsg(db));
    sqlite3_close(db);
    return ok;
}

// Notes the first paint that a widget receives.
class PaintWatcher : public QObject
{
public:
    bool painted = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// Milliseconds from constructing the window to the end of its first paint. The window is
// returned in *window so that the caller decides when it goes.
double timeToFirstPaint(std::unique_ptr<Tallyview> *window)
{
    PaintWatcher watcher;
    QElapsedTimer timer;
    timer.start();
    window->reset(new Tallyview);
    (*window)->installEventFilter(&watcher);
    (*window)->show();
    while (!watcher.painted && timer.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double ms = msSince(timer);
    (*window)->removeEventFilter(&watcher);
    return watcher.painted ? ms : -1;
}

// Runs the event loop until the window has shown its query's listing, which it prepares on a
// thread of its own with the wait cursor shown.
void waitListed()
{
    while (QApplication::overrideCursor())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

QString listingText(const SystemLog::LogRowList &rows)
{
    QStringList records;
    records.reserve(rows.size());
    for (const SystemLog::LogRow &row : rows)
        records << row.first + QLatin1String(":\n") + row.second;
    return records.join(QLatin1Char('\n'));
}

void benchListing(int reps)
{
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    qint64 written = 0;
    // Category 1 holds 10,000 records on the first day and 100,000 on the second.
    if (!generateLog(
            {{QStringLiteral("2024-01-10"), 10000}, {QStringLiteral("2024-01-11"), 100000}},
            &written))
        return;

    auto window = std::make_unique<Tallyview>();
    window->show();
    settle();
    auto *view = window->findChild<QTextEdit *>(QStringLiteral("textEdit"));
    auto *query = window->findChild<QAbstractButton *>(QStringLiteral("pushButton"));
    auto *list = window->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *dayEdit = window->findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    list->setCurrentIndex(1);

    // The baseline: a text view of the same size and font that is given the same text at once.
    QTextEdit baseline;
    baseline.resize(view->size());
    baseline.show();
    settle();

    std::printf("Listing records (median of %d runs; each includes a repaint of the view)\n", reps);
    std::printf("  %-9s %13s %11s %13s %17s %11s %10s\n", "records", "window click", "query",
                "view (=c-q)", "setPlainText", "view/base", "target");
    for (const DayLoad &load : {DayLoad{QStringLiteral("2024-01-10"), 10000},
                                DayLoad{QStringLiteral("2024-01-11"), 100000}}) {
        dayEdit->setDate(QDate::fromString(load.day, QStringLiteral("yyyy-MM-dd")));
        QSqlError error;
        const SystemLog::LogRowList rows =
            SystemLog::qzSysLog::instance()->queryDay(load.day, 1, &error);
        const QString text = listingText(rows);
        baseline.setFont(view->font());

        std::vector<double> click, queryOnly, plain;
        for (int r = 0; r < reps; ++r) {
            QElapsedTimer t;
            t.start();
            query->click();
            waitListed();
            view->viewport()->repaint();
            click.push_back(msSince(t));
            settle();
            if (window->findChild<RecordListing *>()->recordCount() != rows.size())
                std::fprintf(stderr, "the window listed something else than expected\n");

            t.restart();
            SystemLog::qzSysLog::instance()->queryDay(load.day, 1, &error);
            queryOnly.push_back(msSince(t));

            baseline.setFont(view->font());
            t.restart();
            baseline.setPlainText(text);
            baseline.viewport()->repaint();
            plain.push_back(msSince(t));
            settle();
        }
        const double c = median(click), q = median(queryOnly), p = median(plain);
        std::printf("  %-9d %10.1f ms %8.1f ms %10.1f ms %14.1f ms %10.2fx %10s\n", rows.size(), c,
                    q, c - q, p, (c - q) / p, "<= 1.2x");
    }
    window.reset();
    QDir::setCurrent(QDir::tempPath());
}

// Process CPU time in milliseconds.
double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// A field of /proc/self/status in KiB.
qint64 statusKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Returns freed memory to the system and restarts the peak resident size from the current one;
// answers the resident size in KiB.
qint64 resetPeak()
{
    malloc_trim(0);
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    return statusKib("VmRSS:");
}

// Runs the event loop until the widget is painted; answers the milliseconds since the timer's
// start.
double untilPainted(QWidget *widget, const QElapsedTimer &since)
{
    PaintWatcher watcher;
    widget->installEventFilter(&watcher);
    while (!watcher.painted && since.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    widget->removeEventFilter(&watcher);
    return msSince(since);
}

// Runs the event loop until the process uses under 10% of a core over 200 ms; answers the
// milliseconds from the timer's start to the beginning of that quiet span.
double untilIdle(const QElapsedTimer &since)
{
    for (;;) {
        const double start = msSince(since);
        const double cpu = cpuMs();
        // An event loop that sleeps while there is nothing to do.
        QEventLoop span;
        QTimer::singleShot(200, &span, &QEventLoop::quit);
        span.exec();
        if (cpuMs() - cpu < 20 || start > 600000)
            return start;
    }
}

// Ctrl+End in the view, with the repaint that shows it.
double ctrlEnd(QAbstractScrollArea *view)
{
    QElapsedTimer t;
    t.start();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
    QApplication::sendEvent(view, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_End, Qt::ControlModifier);
    QApplication::sendEvent(view, &release);
    view->viewport()->repaint();
    return msSince(t);
}

void benchLongListing(int maxRecords, const QString &self, bool besideOnly)
{
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    std::vector<DayLoad> loads;
    int day = 1;
    for (const int count : {100000, 300000, 1000000, 3000000}) {
        if (count <= maxRecords)
            loads.push_back(
                {QStringLiteral("2024-02-%1").arg(day++, 2, 10, QLatin1Char('0')), count, 1});
    }
    qint64 written = 0;
    // And a day of one record of 100 MiB, beside glogg.
    const QString hugeDay = QStringLiteral("2024-03-01");
    if (!generateLog(loads, &written) || !addHugeRecord(hugeDay + QStringLiteral(" 12:00:00"), 100))
        return;

    auto window = std::make_unique<Tallyview>();
    window->show();
    settle();
    auto *view = window->findChild<QTextEdit *>(QStringLiteral("textEdit"));
    auto *query = window->findChild<QAbstractButton *>(QStringLiteral("pushButton"));
    auto *dayEdit = window->findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    auto *listing = view->findChild<RecordListing *>();
    window->findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(1);

    std::vector<DayLoad> shown; // with --beside-glogg, none in this process
    if (besideOnly)
        loads.swap(shown);
    std::printf("\nLong listings: window (W) beside setPlainText into a bare QPlainTextEdit (P); "
                "one run each\n");
    std::printf("  %-9s %8s %9s %9s %6s %9s %9s %6s %7s %8s %8s %8s %6s %8s %8s\n", "records",
                "query", "W first", "P first", "W/P", "W idle", "P idle", "W/P", "text", "Q mem",
                "W mem", "P mem", "W/text", "W ^End", "P ^End");
    for (const DayLoad &load : loads) {
        const QDate date = QDate::fromString(load.day, QStringLiteral("yyyy-MM-dd"));
        // Another day, with no records of the category: the previous listing goes first.
        dayEdit->setDate(date.addDays(-20));
        query->click();
        waitListed();
        settle();
        dayEdit->setDate(date);

        // The service's query alone, as the window ran it before it listed records by id; then the
        // window's own query, from the click.
        qint64 before = resetPeak();
        QElapsedTimer t;
        t.start();
        QSqlError error;
        SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(load.day, 1, &error);
        const double queryMs = msSince(t);
        const qint64 queryPeak = statusKib("VmHWM:") - before;
        rows = SystemLog::LogRowList();
        before = resetPeak();
        t.restart();
        query->click();
        waitListed();
        const double windowFirst = untilPainted(view->viewport(), t);
        const double windowIdle = untilIdle(t);
        const qint64 windowPeak = statusKib("VmHWM:") - before;
        const int count = listing->recordCount();
        const double windowEnd = ctrlEnd(view);
        if (view->textCursor().block().text() != QString::fromUtf8(kMessages[1]))
            std::fprintf(stderr, "Ctrl+End did not reach the last record\n");

        // The baseline gets exactly the listing text.
        dayEdit->setDate(date.addDays(-20));
        query->click();
        waitListed();
        settle();
        rows = SystemLog::qzSysLog::instance()->queryDay(load.day, 1, &error);
        const QString text = listingText(rows);
        rows.clear();
        const qint64 textKib = qint64(text.size()) * 2 / 1024;
        {
            QPlainTextEdit baseline;
            baseline.setFont(view->font());
            baseline.resize(view->size());
            baseline.show();
            settle();
            const qint64 baseBefore = resetPeak();
            t.restart();
            baseline.setPlainText(text);
            const double plainFirst = untilPainted(baseline.viewport(), t);
            const double plainIdle = untilIdle(t);
            const qint64 plainPeak = statusKib("VmHWM:") - baseBefore;
            const double plainEnd = ctrlEnd(&baseline);
            std::printf(
                "  %-9d %6.0f ms %6.0f ms %6.0f ms %5.2fx %6.0f ms %6.0f ms %5.2fx %4lld MB "
                "%5lld MB %5lld MB %5lld MB %5.2fx %5.1f ms %5.1f ms\n",
                count, queryMs, windowFirst, plainFirst, windowFirst / plainFirst, windowIdle,
                plainIdle, windowIdle / plainIdle, textKib / 1024, queryPeak / 1024,
                windowPeak / 1024, plainPeak / 1024, double(windowPeak) / textKib, windowEnd,
                plainEnd);
            std::fflush(stdout);
        }
    }
    std::printf("  targets: W first <= 1.0x P, W idle <= 1.0x P, W mem <= 3x text\n");

    if (besideOnly)
        loads.swap(shown);
    QList<QPair<QString, int>> beside;
    for (const DayLoad &load : loads) {
        if (load.perType >= 300000)
            beside.append({load.day, load.perType});
    }
    beside.append({hugeDay, 1});
    benchBesideGlogg(self, dir.path(), beside);
    window.reset();
    QDir::setCurrent(QDir::tempPath());
}

// One typed character, as a key press and release.
void typeKey(QWidget *widget, QChar c)
{
    const QString text(c);
    const int key = c.toUpper().unicode(); // Qt::Key_A ... Qt::Key_Z for letters
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &release);
}

void benchFind(int reps)
{
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    qint64 written = 0;
    const std::vector<DayLoad> loads{{QStringLiteral("2024-01-10"), 10000},
                                     {QStringLiteral("2024-01-11"), 100000}};
    if (!generateLog(loads, &written, "报警：伺服驱动器 overheat，代码 E1042"))
        return;
    const QString word = QStringLiteral("overheat");

    auto window = std::make_unique<Tallyview>();
    window->show();
    settle();
    auto *view = window->findChild<QTextEdit *>(QStringLiteral("textEdit"));
    auto *query = window->findChild<QAbstractButton *>(QStringLiteral("pushButton"));
    auto *dayEdit = window->findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    auto *findKey = window->findChild<QShortcut *>();
    window->findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(1);

    std::printf("\nFinding \"%s\" in the listing (median of %d runs; a tenth of the records "
                "match)\n",
                qUtf8Printable(word), reps);
    std::printf("  %-9s %-10s %8s %11s %14s %19s %15s %13s\n", "records", "typed", "matches",
                "open bar", "slowest key", "last key to count", "indexOf loop", "toPlainText");
    for (const DayLoad &load : loads) {
        dayEdit->setDate(QDate::fromString(load.day, QStringLiteral("yyyy-MM-dd")));
        // "laid out": typed once Qt has laid out the whole listing, as when someone has looked at
        // it first; "at once": typed right after the listing appears, while Qt still lays it out
        // in steps between the keys.
        for (const bool laidOut : {true, false}) {
            std::vector<double> open, slowest, last, loop, plain;
            int count = 0;
            bool shown = true;
            for (int r = 0; r < reps; ++r) {
                if (auto *field = window->findChild<QLineEdit *>(QStringLiteral("findEdit")))
                    field->clear();
                query->click();
                waitListed();
                settle();
                if (laidOut)
                    view->document()->documentLayout()->documentSize();
                QElapsedTimer t;
                t.start();
                emit findKey->activated(); // as the Find key does
                open.push_back(msSince(t));
                settle();
                auto *field = window->findChild<QLineEdit *>(QStringLiteral("findEdit"));
                auto *status = window->findChild<QLabel *>(QStringLiteral("findStatus"));

                // Each prefix of the word matches too; a key is done once the view's selection
                // is a match of the text typed so far and the count is shown.
                const auto searched = [&](int typed) {
                    return view->textCursor().selectedText().size() == typed &&
                           status->text().contains(QLatin1Char('/'));
                };
                std::vector<double> keys;
                for (int i = 0; i < word.size(); ++i) {
                    t.restart();
                    typeKey(field, word.at(i));
                    while (!searched(i + 1) && t.elapsed() < 10000)
                        QCoreApplication::processEvents();
                    view->viewport()->repaint();
                    keys.push_back(msSince(t));
                }
                slowest.push_back(*std::max_element(keys.begin(), keys.end()));
                last.push_back(keys.back());
                shown =
                    shown && status->text().endsWith(QStringLiteral("/%1").arg(load.perType / 10));

                t.restart();
                const QString text = view->toPlainText();
                plain.push_back(msSince(t));
                t.restart();
                count = 0;
                for (int at = text.indexOf(word, 0, Qt::CaseInsensitive); at >= 0;
                     at = text.indexOf(word, at + word.size(), Qt::CaseInsensitive))
                    ++count;
                loop.push_back(msSince(t));
                settle();
            }
            if (!shown || count != load.perType / 10)
                std::fprintf(stderr, "the bar showed another count than the indexOf loop found\n");
            std::printf("  %-9d %-10s %8d %8.1f ms %11.1f ms %16.1f ms %12.1f ms %10.1f ms\n",
                        load.perType, laidOut ? "laid out" : "at once", count, median(open),
                        median(slowest), median(last), median(loop), median(plain));
        }
    }
    window.reset();
    QDir::setCurrent(QDir::tempPath());
}

void benchStartup(int reps)
{
    std::printf("\nStart-up: constructing the window to its first paint (median of %d runs)\n",
                reps);

    // Baseline: no log file at all.
    std::vector<double> empty;
    for (int r = 0; r < reps; ++r) {
        QTemporaryDir dir;
        QDir::setCurrent(dir.path());
        std::unique_ptr<Tallyview> window;
        empty.push_back(timeToFirstPaint(&window));
        window.reset();
        QDir::setCurrent(QDir::tempPath());
    }

    // Second baseline: a log file that exists but holds no records.
    std::vector<double> emptyLog;
    {
        QTemporaryDir dir;
        QDir::setCurrent(dir.path());
        qint64 none = 0;
        if (!generateLog({}, &none))
            return;
        for (int r = 0; r < reps; ++r) {
            std::unique_ptr<Tallyview> window;
            emptyLog.push_back(timeToFirstPaint(&window));
        }
        QDir::setCurrent(QDir::tempPath());
    }

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    std::vector<DayLoad> days;
    const QDate first(2024, 1, 1);
    for (int d = 0; d < 100; ++d)
        days.push_back({first.addDays(d).toString(QStringLiteral("yyyy-MM-dd")), 2000});
    QElapsedTimer gen;
    gen.start();
    qint64 written = 0;
    if (!generateLog(days, &written))
        return;
    const double genMs = msSince(gen);
    const double sizeMb = double(QFileInfo(QStringLiteral("dbLog.db")).size()) / (1024.0 * 1024.0);

    double firstStart = 0;
    {
        std::unique_ptr<Tallyview> window;
        firstStart = timeToFirstPaint(&window);
    }
    std::vector<double> later;
    for (int r = 0; r < reps; ++r) {
        std::unique_ptr<Tallyview> window;
        later.push_back(timeToFirstPaint(&window));
    }
    QDir::setCurrent(QDir::tempPath());

    const double base = median(empty);
    const double baseLog = median(emptyLog);
    std::printf("  generated dbLog.db: %lld records, %.1f MiB, in %.0f ms (one transaction, one "
                "prepared insert)\n",
                written, sizeMb, genMs);
    std::printf("  %-52s %10.1f ms\n", "baseline A: no dbLog.db (the window creates it)", base);
    std::printf("  %-52s %10.1f ms\n", "baseline B: dbLog.db with the table, no records", baseLog);
    std::printf("  %-52s %10.1f ms   %6.2fx A  %6.2fx B\n",
                "1,000,000 records, first start (index is built)", firstStart, firstStart / base,
                firstStart / baseLog);
    std::printf("  %-52s %10.1f ms   %6.2fx A  %6.2fx B\n", "1,000,000 records, later start",
                median(later), median(later) / base, median(later) / baseLog);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--child-list") == 0)
        return runListingChild(QString::fromLatin1(argv[2]));
    int reps = 5;
    int maxRecords = 3000000;
    bool longOnly = false;
    bool besideOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--long-only") == 0)
            longOnly = true;
        else if (std::strcmp(argv[i], "--beside-glogg") == 0)
            longOnly = besideOnly = true;
        else if (i + 1 < argc && std::strcmp(argv[i], "--reps") == 0)
            reps = std::max(1, std::atoi(argv[i + 1]));
        else if (i + 1 < argc && std::strcmp(argv[i], "--max-records") == 0)
            maxRecords = std::atoi(argv[i + 1]);
    }
    const QString home = QDir::currentPath();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("bench_window (Qt %s, platform %s)\n\n", qVersion(),
                qUtf8Printable(QGuiApplication::platformName()));
    if (!longOnly)
        benchListing(reps);
    benchLongListing(maxRecords, QCoreApplication::applicationFilePath(), besideOnly);
    if (!longOnly) {
        benchFind(reps);
        benchStartup(reps);
    }
    QDir::setCurrent(home);
    return 0;
}
