// bench_live: the window's live update under a steady writer.
//
//   bench_live [--records N] [--rate R] [--seconds S]
//
// The real window (offscreen) lists N (100,000) alarms of today. Another program, this one
// started again as a child, stores R (200) alarms per second through its own log service for S
// (30) seconds, each message carrying the moment it was handed to the service. Two runs with the
// same load, one after the other, each on a fresh listing: live update off, then on. For each: the
// window process's CPU time per second of wall time (its service, the live feed's thread and the
// GUI thread together) and, with live update on, the delay from handing a record to the service
// to the window having added it to the listing (median, 95th percentile, worst) and how many of
// the records arrived.

#include "LiveFeed.h"
#include "Tallyview.h"
#include "TestLogFile.h"
#include "qzSysLog.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Options
{
    int records = 100000;
    int rate = 200;
    int seconds = 30;
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The child: stores `rate` alarms a second for `seconds` through the log service, as a program
// logging alarms does, each message "live <ms since the epoch>".
int store(int rate, int seconds)
{
    SystemLog::qzSysLog::instance()->start();
    QElapsedTimer clock;
    clock.start();
    const qint64 total = qint64(rate) * seconds;
    for (qint64 i = 0; i < total; ++i) {
        const qint64 due = i * 1000 / rate;
        const qint64 wait = due - clock.elapsed();
        if (wait > 0)
            QThread::msleep(static_cast<unsigned long>(wait));
        const QByteArray message =
            "live " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
        SystemLog::outputHook(3, message.constData(), message.size());
    }
    SystemLog::qzSysLog::release();
    return 0;
}

struct Run
{
    double cpuShare = 0;
    std::vector<double> delays;
};

// Runs the event loop for `ms` milliseconds, idle when there is nothing to do.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Lists today's alarms afresh, so that only records stored from now on are new to the listing.
void listToday(Tallyview &window)
{
    window.findChild<QDateEdit *>(QStringLiteral("dateEdit"))->setDate(QDate::currentDate());
    window.findChild<QComboBox *>(QStringLiteral("comboBox"))->setCurrentIndex(3);
    window.findChild<QAbstractButton *>(QStringLiteral("pushButton"))->click();
    // The window prepares the listing with the wait cursor shown.
    while (QApplication::overrideCursor())
        runFor(10);
    runFor(1000);
}

Run measure(Tallyview &window, const QString &program, const Options &o, bool live)
{
    auto *action = window.findChild<QAction *>(QStringLiteral("liveUpdateAction"));
    if (action->isChecked() != live)
        action->trigger();
    listToday(window);
    Run run;
    auto *feed = window.findChild<LiveFeed *>();
    // Connected after the window's own connection: runs once the records are in the listing.
    const QMetaObject::Connection seen =
        QObject::connect(feed, &LiveFeed::recordsArrived, [&](const SystemLog::LogRowList &rows) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            for (const SystemLog::LogRow &row : rows)
                if (row.second.startsWith(QLatin1String("live ")))
                    run.delays.push_back(double(now - row.second.mid(5).toLongLong()));
        });

    QProcess child;
    child.start(program,
                {QStringLiteral("--store"), QString::number(o.rate), QString::number(o.seconds)});
    child.waitForStarted();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    loop.exec();
    // The last records reach the window within a second.
    runFor(1000);
    run.cpuShare = (cpuSeconds() - cpuBefore) / (double(wall.elapsed()) / 1000.0);
    QObject::disconnect(seen);
    return run;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--store") == 0)
        return store(QByteArray(argv[2]).toInt(), QByteArray(argv[3]).toInt());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--records"))
            o.records = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--rate"))
            o.rate = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--seconds"))
            o.seconds = args[i + 1].toInt();
    }

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    struct Record
    {
        QString datetime;
        int type;
        QString message;
    };
    // Today's alarms, spread over the hours before now, so that those stored now follow them.
    const QDate today = QDate::currentDate();
    const int secondsSoFar = qMax(1, QTime::currentTime().msecsSinceStartOfDay() / 1000 - 60);
    std::vector<Record> records;
    records.reserve(size_t(o.records));
    for (int i = 0; i < o.records; ++i)
        records.push_back(
            {QDateTime(today, QTime(0, 0).addSecs(int(qint64(i) * secondsSoFar / o.records)))
                 .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")),
             3, QString::fromUtf8("报警：2 号电机过流，已自动停机")});
    if (!TestLogFile::writeRecords(QStringLiteral("dbLog.db"), records)) {
        std::fprintf(stderr, "bench_live: cannot write the log\n");
        return 1;
    }

    Tallyview window;
    window.show();

    std::printf("bench_live: %d listed alarms, another program storing %d alarms/s for %d s\n",
                o.records, o.rate, o.seconds);
    const qint64 expected = qint64(o.rate) * o.seconds;
    for (bool live : {false, true}) {
        const Run run = measure(window, app.applicationFilePath(), o, live);
        std::printf("  live update %-3s: window CPU %5.1f%% of one core", live ? "on" : "off",
                    run.cpuShare * 100);
        if (live)
            std::printf(", delay store->listed median %.0f ms, p95 %.0f ms, worst %.0f ms, "
                        "%zu of %lld records",
                        percentile(run.delays, 0.5), percentile(run.delays, 0.95),
                        percentile(run.delays, 1.0), run.delays.size(), expected);
        std::printf("\n");
    }
    return 0;
}
