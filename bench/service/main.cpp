// bench_service: the log service's figures, each beside a baseline measured in the same run.
//
//   bench_service [--hook-rounds N] [--hook-calls N] [--store-records N] [--store-runs N]
//                 [--query-records N] [--query-days N] [--query-runs N] [--big-mb N]
//                 [--only hook|store|query|bigmessage]
//
// Every measurement works in a temporary directory of its own, which it makes the working
// directory, since the service keeps "dbLog.db" there.

#include "Measurements.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QSysInfo>

#include <sqlite3.h>

#include <cstdio>
#include <thread>

namespace {

int intOption(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < minimum)
        bench::die(bench::format("--%s needs a number >= %d",
                                 qUtf8Printable(option.names().constFirst()), minimum));
    return value;
}

void printTable(const std::vector<bench::Row> &rows)
{
    const char *const header = "%-38s %14s %14s %7s  %-24s %s\n";
    std::printf(header, "figure", "value", "baseline", "ratio", "target", "result");
    std::printf("%s\n", std::string(108, '-').c_str());
    for (const bench::Row &r : rows) {
        const char *verdict = r.verdict == bench::Row::Verdict::Pass   ? "PASS"
                              : r.verdict == bench::Row::Verdict::Fail ? "FAIL"
                                                                       : "info";
        std::printf(header, r.figure.c_str(), r.value.c_str(), r.baseline.c_str(), r.ratio.c_str(),
                    r.target.c_str(), verdict);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("bench_service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures the log service beside plain baselines."));
    parser.addHelpOption();
    const QCommandLineOption hookRounds(QStringLiteral("hook-rounds"),
                                        QStringLiteral("Measured rounds of hook calls."),
                                        QStringLiteral("n"), QStringLiteral("21"));
    const QCommandLineOption hookCalls(QStringLiteral("hook-calls"),
                                       QStringLiteral("Hook calls per round and thread."),
                                       QStringLiteral("n"), QStringLiteral("20000"));
    const QCommandLineOption storeRecords(QStringLiteral("store-records"),
                                          QStringLiteral("Records per storing run."),
                                          QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption storeRuns(QStringLiteral("store-runs"),
                                       QStringLiteral("Storing runs of each side."),
                                       QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption queryRecords(QStringLiteral("query-records"),
                                          QStringLiteral("Records of the query file."),
                                          QStringLiteral("n"), QStringLiteral("1000000"));
    const QCommandLineOption queryDays(QStringLiteral("query-days"),
                                       QStringLiteral("Days that the query file spans."),
                                       QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption queryRuns(QStringLiteral("query-runs"),
                                       QStringLiteral("Measured queries of each side."),
                                       QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption bigMegabytes(
        QStringLiteral("big-mb"),
        QStringLiteral("Size of the long message, in millions of bytes (at most 2000)."),
        QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption only(
        QStringLiteral("only"),
        QStringLiteral("Run one measurement: hook, store, query or bigmessage."),
        QStringLiteral("name"));
    parser.addOptions({hookRounds, hookCalls, storeRecords, storeRuns, queryRecords, queryDays,
                       queryRuns, bigMegabytes, only});
    parser.process(app);

    const int nHookRounds = intOption(parser, hookRounds, 1);
    const int nHookCalls = intOption(parser, hookCalls, 1);
    const int nStoreRecords = intOption(parser, storeRecords, 1);
    const int nStoreRuns = intOption(parser, storeRuns, 1);
    const int nQueryDays = intOption(parser, queryDays, 1);
    const int nQueryRecords = intOption(parser, queryRecords, nQueryDays * 5);
    const int nQueryRuns = intOption(parser, queryRuns, 1);
    const int nBigMegabytes = intOption(parser, bigMegabytes, 1);
    if (nBigMegabytes > 2000)
        bench::die("--big-mb takes at most 2000");
    const QString selected = parser.value(only);
    if (!selected.isEmpty() && selected != QLatin1String("hook") &&
        selected != QLatin1String("store") && selected != QLatin1String("query") &&
        selected != QLatin1String("bigmessage"))
        bench::die("--only takes hook, store, query or bigmessage");
    auto wanted = [&selected](const char *name) {
        return selected.isEmpty() || selected == QLatin1String(name);
    };

    std::printf("bench_service: Qt %s, SQLite %s, %u hardware threads, %s, temporary files in "
                "%s\n",
                qVersion(), sqlite3_libversion(), std::thread::hardware_concurrency(),
                qUtf8Printable(QSysInfo::prettyProductName()), qUtf8Printable(QDir::tempPath()));
    std::printf("baselines: hook = uncontended std::mutex lock/unlock + QString::fromUtf8 of the "
                "same 64 bytes (2 threads: one mutex shared by both); storing = plain sqlite3 "
                "prepared insert loop in one transaction into a fresh file with the same table "
                "and index; queryDay = the same select as a plain sqlite3 prepared statement on "
                "the same file, reading both text columns of every row; long message = its own "
                "size\n\n");
    std::fflush(stdout);

    std::vector<bench::Row> rows;
    if (wanted("hook"))
        rows = bench::measureHookCost(nHookRounds, nHookCalls);
    if (wanted("store"))
        rows.push_back(bench::measureStoringRate(nStoreRecords, nStoreRuns));
    if (wanted("query"))
        rows.push_back(bench::measureQueryDay(nQueryRecords, nQueryDays, nQueryRuns));
    if (wanted("bigmessage"))
        rows.push_back(bench::measureBigMessage(nBigMegabytes));

    std::printf("\n");
    printTable(rows);
    int failed = 0;
    int targets = 0;
    for (const bench::Row &r : rows) {
        if (r.verdict != bench::Row::Verdict::Info)
            ++targets;
        if (r.verdict == bench::Row::Verdict::Fail)
            ++failed;
    }
    std::printf("\ntargets met: %d of %d\n", targets - failed, targets);
    return 0;
}
