// queryDay on a large log file, beside the same select as a plain sqlite3 prepared statement.

#include "Measurements.h"

#include "qzSysLog.h"

#include <QDate>
#include <QSqlError>

#include <cstdio>

namespace bench {

namespace {

const QDate kFirstDay(2024, 1, 1);

// Writes `records` records spread evenly over `days` days, the categories in turn, with explicit
// stamps in time order, into a file without an index: a log that has grown under an older
// version of the program.
void generateLog(const std::string &path, int records, int days)
{
    sqlite3 *db = openDb(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    execOrDie(db, "PRAGMA journal_mode=OFF");
    execOrDie(db, "PRAGMA synchronous=OFF");
    execOrDie(db, schemaStatement().c_str());
    execOrDie(db, "BEGIN");
    sqlite3_stmt *insert =
        prepareOrDie(db, "INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)");
    const long long perDay = (static_cast<long long>(records) + days - 1) / days;
    for (int i = 0; i < records; ++i) {
        const int day = static_cast<int>(i / perDay);
        const long long inDay = i % perDay;
        const int second = static_cast<int>(inDay * 86400 / perDay);
        const QByteArray stamp =
            kFirstDay.addDays(day).toString(QStringLiteral("yyyy-MM-dd")).toLatin1() +
            format(" %02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60).c_str();
        const int type = i % 5;
        const QByteArray msg = sampleMessage(i, type);
        sqlite3_bind_text(insert, 1, stamp.constData(), stamp.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, type);
        sqlite3_bind_text(insert, 3, msg.constData(), msg.size(), SQLITE_TRANSIENT);
        if (sqlite3_step(insert) != SQLITE_DONE)
            die(std::string("generating the log failed: ") + sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    execOrDie(db, "COMMIT");
    sqlite3_close(db);
}

const char *const kSelect = "select datetime,message from SystemInfo where datetime >= ? and "
                            "datetime <= ? and type = ? order by id";

// The select run directly: bind, step through every row and decode both text columns into the
// same list of strings that queryDay hands back (the work any caller of the rows has to do).
int plainQuery(sqlite3 *db, sqlite3_stmt *stmt, const QByteArray &from, const QByteArray &to,
               int type, long long *bytes)
{
    sqlite3_reset(stmt);
    sqlite3_bind_text(stmt, 1, from.constData(), from.size(), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, to.constData(), to.size(), SQLITE_STATIC);
    sqlite3_bind_int(stmt, 3, type);
    SystemLog::LogRowList rows;
    int rc = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const char *stamp = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        const int stampLen = sqlite3_column_bytes(stmt, 0);
        const char *message = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 1));
        const int messageLen = sqlite3_column_bytes(stmt, 1);
        rows.append(SystemLog::LogRow(QString::fromUtf8(stamp, stampLen),
                                      QString::fromUtf8(message, messageLen)));
    }
    if (rc != SQLITE_DONE)
        die(std::string("plain select failed: ") + sqlite3_errmsg(db));
    for (const SystemLog::LogRow &row : rows)
        *bytes += row.first.size() + row.second.size();
    return rows.size();
}

} // namespace

Row measureQueryDay(int records, int days, int runs)
{
    WorkDir dir;
    const std::string path = dir.file("dbLog.db");

    Clock::time_point t = Clock::now();
    generateLog(path, records, days);
    std::printf("  query: generated %s records over %d days in %.2f s\n", grouped(records).c_str(),
                days, secondsSince(t));

    // First open by the service: it adds its index to the existing file.
    t = Clock::now();
    SystemLog::qzSysLog *service = SystemLog::qzSysLog::instance();
    service->start();
    std::printf("  query: first open by the service (adds its index) took %.2f s\n",
                secondsSince(t));

    sqlite3 *db = openDb(path, SQLITE_OPEN_READONLY);
    {
        sqlite3_stmt *indexes =
            prepareOrDie(db, "select name from sqlite_master where type = 'index' and "
                             "tbl_name = 'SystemInfo'");
        std::printf("  query: indexes on SystemInfo:");
        while (sqlite3_step(indexes) == SQLITE_ROW)
            std::printf(" %s", reinterpret_cast<const char *>(sqlite3_column_text(indexes, 0)));
        std::printf("\n");
        sqlite3_finalize(indexes);

        const std::string explain = std::string("EXPLAIN QUERY PLAN ") + kSelect;
        sqlite3_stmt *plan = prepareOrDie(db, explain.c_str());
        std::printf("  query: plan of the plain select:");
        while (sqlite3_step(plan) == SQLITE_ROW)
            std::printf(" [%s]", reinterpret_cast<const char *>(sqlite3_column_text(plan, 3)));
        std::printf("\n");
        sqlite3_finalize(plan);
    }
    sqlite3_stmt *stmt = prepareOrDie(db, kSelect);

    const QDate day = kFirstDay.addDays(days / 2);
    const QString dayText = day.toString(QStringLiteral("yyyy-MM-dd"));
    const QByteArray from = (dayText + QStringLiteral(" 00:00:00")).toLatin1();
    const QByteArray to = (dayText + QStringLiteral(" 23:59:59")).toLatin1();
    const int type = SystemLog::Alarm;
    const int expected = records / days / 5;

    long long bytes = 0;
    std::vector<double> serviceMs, plainMs;
    int serviceRows = -1;
    int plainRows = -1;
    auto runService = [&](bool keep) {
        QSqlError error;
        const Clock::time_point start = Clock::now();
        const SystemLog::LogRowList rows = service->queryDay(dayText, type, &error);
        const double ms = nsBetween(start, Clock::now()) / 1e6;
        if (error.type() != QSqlError::NoError)
            die("queryDay failed: " + error.text().toStdString());
        serviceRows = rows.size();
        if (keep)
            serviceMs.push_back(ms);
    };
    auto runPlain = [&](bool keep) {
        const Clock::time_point start = Clock::now();
        plainRows = plainQuery(db, stmt, from, to, type, &bytes);
        const double ms = nsBetween(start, Clock::now()) / 1e6;
        if (keep)
            plainMs.push_back(ms);
    };

    const int warmup = 3;
    for (int i = 0; i < warmup; ++i) {
        runService(false);
        runPlain(false);
    }
    for (int i = 0; i < runs; ++i) {
        if (i % 2 == 0) {
            runService(true);
            runPlain(true);
        } else {
            runPlain(true);
            runService(true);
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    SystemLog::qzSysLog::release();

    if (serviceRows != plainRows || serviceRows != expected)
        die(format("queryDay returned %d rows, the plain select %d, expected %d", serviceRows,
                   plainRows, expected));

    const Summary ss = summarize(serviceMs);
    const Summary ps = summarize(plainMs);
    std::printf("  query: day %s, type %d, %d rows; %d runs each after %d warm-up runs; "
                "queryDay median %.3f ms (IQR %.3f-%.3f, min %.3f, max %.3f); plain select "
                "median %.3f ms (IQR %.3f-%.3f, min %.3f, max %.3f)\n",
                qUtf8Printable(dayText), type, serviceRows, runs, warmup, ss.median, ss.q1, ss.q3,
                ss.min, ss.max, ps.median, ps.q1, ps.q3, ps.min, ps.max);

    Row row;
    row.figure = format("queryDay, %s records (ms)", grouped(records).c_str());
    row.value = format("%.3f", ss.median);
    row.baseline = format("%.3f", ps.median);
    const double ratio = ss.median / ps.median;
    row.ratio = format("%.2f", ratio);
    row.target = "<= 1.1x and < 10 ms";
    row.verdict = (ratio <= 1.1 && ss.median < 10.0) ? Row::Verdict::Pass : Row::Verdict::Fail;
    return row;
}

} // namespace bench
