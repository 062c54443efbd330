// bench_window_stall: how long the window's thread stands still while the window starts on a
// large log without the index of the listings, and while it exports a large day, beside the work
// that the window's thread did itself for both before it was moved to threads of their own,
// measured in the same run on the same file.
//
//   bench_window_stall [--records N]   (3,000,000 unless given: N alarms on one day)
//
// 1. Start-up: constructing the window (the service with it) on the log without its index, and
//    from then until the index is built in the background; beside QDBSqlite::prepare() creating
//    the index at once on a copy of the same file, which the constructor used to run.
// 2. Export of that day: the longest pause of a 5 ms timer on the window's thread from the click
//    on "导出" to the notice (the directory dialog answered at once), and the whole export; beside
//    the day's query run on the window's thread, and the writing of the file there.

#include "DayExport.h"
#include "DayExporter.h"
#include "Tallyview.h"
#include "qzSysLog.h"
#include "store/QDBSqlite.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char *const kDay = "2024-03-15";

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// `count` alarms on kDay into "generated.db" of the working directory, through SQLite directly.
bool generateLog(int count)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open("generated.db", &db) == SQLITE_OK &&
              sqlite3_exec(db,
                           "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; CREATE TABLE "
                           "SystemInfo(id INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, datetime "
                           "DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP,'localtime')), "
                           "type INT(32), message TEXT); BEGIN",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt *insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db,
                                  "INSERT INTO SystemInfo(datetime, type, message) "
                                  "VALUES(?, 3, '压力传感器读数超出上限，设备已自动停机')",
                                  -1, &insert, nullptr) == SQLITE_OK;
    char stamp[32];
    for (int i = 0; ok && i < count; ++i) {
        const int second = int(qint64(i) * 86398 / count) + 1;
        std::snprintf(stamp, sizeof stamp, "%s %02d:%02d:%02d", kDay, second / 3600,
                      second / 60 % 60, second % 60);
        sqlite3_bind_text(insert, 1, stamp, -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Runs the event loop until `done` holds, looking every 10 ms, and without spinning meanwhile.
template <typename Done> void waitUntil(Done done)
{
    while (!done()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

// The longest time between two ticks of a 5 ms timer on the window's thread while it runs.
class Heartbeat
{
public:
    Heartbeat()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, msSince(m_since));
            m_since.restart();
        });
        m_since.start();
        m_timer.start();
    }
    double longest() const { return std::max(m_longest, msSince(m_since)); }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    double m_longest = 0;
};

// A fresh copy of the generated log: each measurement starts on the same file, just copied.
void copyLog(const QString &to)
{
    QFile::remove(to);
    QFile::copy(QStringLiteral("generated.db"), to);
}

// Each way twice, one after the other, so that neither has the file's pages to itself.
void benchStartup()
{
    std::printf("\nStart-up on the log without its index\n");
    for (int run = 0; run < 2; ++run) {
        copyLog(QStringLiteral("copy.db"));
        QElapsedTimer timer;
        timer.start();
        {
            // The index created on the window's thread, as the constructor used to.
            SystemLog::QDBSqlite db(QStringLiteral("copy.db"), QString(), QString());
            db.prepare();
            db.close();
        }
        const double before = msSince(timer);

        copyLog(QStringLiteral("dbLog.db"));
        timer.restart();
        auto window = std::make_unique<Tallyview>();
        const double constructed = msSince(timer);
        waitUntil([] { return !SystemLog::qzSysLog::instance()->writer().isBuildingIndex(); });
        const double indexed = msSince(timer);
        std::printf("  %-58s %10.1f ms\n", "before: the index created on the window's thread",
                    before);
        std::printf("  %-58s %10.1f ms\n", "now: the window constructed (service started)",
                    constructed);
        std::printf("  %-58s %10.1f ms\n", "now: until the index is built in the background",
                    indexed);
    }
}

void benchExport(int records)
{
    QTemporaryDir target;
    auto window = std::make_unique<Tallyview>();
    window->findChild<QDateEdit *>(QStringLiteral("dateEdit"))->setDate(QDate(2024, 3, 15));
    window->findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(3);
    QString notice;
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *chooser = qobject_cast<QFileDialog *>(modal)) {
            chooser->setDirectory(target.path());
            static_cast<QDialog *>(chooser)->accept();
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            notice = box->text();
            box->accept();
        }
    });
    answer.start();
    QElapsedTimer timer;
    timer.start();
    Heartbeat heartbeat;
    window->findChild<QAbstractButton *>(QStringLiteral("m_pbExport"))->click();
    const double clickReturned = msSince(timer);
    waitUntil([&] { return !notice.isEmpty(); });
    const double whole = msSince(timer);
    const double longest = heartbeat.longest();
    answer.stop();

    timer.restart();
    QSqlError error;
    const SystemLog::LogRowList rows =
        SystemLog::qzSysLog::instance()->queryDay(QString::fromLatin1(kDay), 3, &error);
    const double query = msSince(timer);
    timer.restart();
    std::atomic<bool> cancel{false};
    std::atomic<int> written{0};
    QString failure;
    DayExporter::write(SystemLog::DayExport::filePath(target.path(), QStringLiteral("again")), rows,
                       cancel, &written, &failure);
    const double write = msSince(timer);
    std::printf("\nExport of %d records (%s)\n", records, qPrintable(notice.section('\n', 0, 0)));
    std::printf("  %-58s %10.1f ms\n", "before: the day's query on the window's thread", query);
    std::printf("  %-58s %10.1f ms\n", "before: the file written on the window's thread", write);
    std::printf("  %-58s %10.1f ms\n", "now: the click on 导出 returns after", clickReturned);
    std::printf("  %-58s %10.1f ms\n", "now: the longest pause of the window's thread", longest);
    std::printf("  %-58s %10.1f ms\n", "now: the whole export, click to notice", whole);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int records = 3000000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--records") == 0)
            records = std::max(1, std::atoi(argv[i + 1]));
    }
    QTemporaryDir dir;
    const QString home = QDir::currentPath();
    QDir::setCurrent(dir.path());
    QElapsedTimer timer;
    timer.start();
    if (!generateLog(records)) {
        std::fprintf(stderr, "generating the log failed\n");
        return 1;
    }
    std::printf("generated a log: %d alarms on %s in %.0f ms, no index\n", records, kDay,
                msSince(timer));
    benchStartup();
    benchExport(records);
    SystemLog::qzSysLog::release();
    QDir::setCurrent(home);
    return 0;
}
