// bench_cli_make_log: writes a log file for the tallylog benchmark: `days` days of `perDay`
// records each, every category in turn, stamps spread evenly over each day, with the table and
// index the service creates.
//
//   bench_cli_make_log FILE [days] [perDay]      (default 10 days of 100000 records)

#include "TestLogFile.h"

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QString>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool exec(sqlite3 *db, const QByteArray &sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql.constData(), nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    std::fprintf(stderr, "bench_cli_make_log: %s\n", error ? error : "error");
    sqlite3_free(error);
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_cli_make_log FILE [days] [perDay]\n");
        return 2;
    }
    const int days = argc > 2 ? std::atoi(argv[2]) : 10;
    const int perDay = argc > 3 ? std::atoi(argv[3]) : 100000;
    QFile::remove(QString::fromLocal8Bit(argv[1]));

    sqlite3 *db = nullptr;
    if (sqlite3_open(argv[1], &db) != SQLITE_OK)
        return 1;
    if (!exec(db, TestLogFile::tableStatement().toUtf8()) ||
        !exec(db, "CREATE INDEX SystemInfo_type_datetime ON SystemInfo(type, datetime)") ||
        !exec(db, "BEGIN"))
        return 1;
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO SystemInfo(datetime, type, message) VALUES(?, ?, ?)", -1,
                       &insert, nullptr);
    const char *const messages[] = {
        "参数 主轴转速 从 %d 改为 %d",
        "User operator logged in from 192.168.1.%d, session %d",
        "CPU 占用 %d%%，内存占用 %d MB",
        "报警：温度 %d ℃ 超过上限 %d ℃",
        "Shift handover: \"%d\" took over from %d",
    };
    const QDate first(2026, 11, 1);
    for (int d = 0; d < days; ++d) {
        const QByteArray day = first.addDays(d).toString(QStringLiteral("yyyy-MM-dd")).toUtf8();
        for (int i = 0; i < perDay; ++i) {
            const int second = static_cast<int>(static_cast<qint64>(i) * 86400 / perDay);
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "%s %02d:%02d:%02d", day.constData(), second / 3600,
                          second / 60 % 60, second % 60);
            const int type = i % 5;
            char message[128];
            std::snprintf(message, sizeof message, messages[type], i % 997, i % 89);
            sqlite3_bind_text(insert, 1, stamp, -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 2, type);
            sqlite3_bind_text(insert, 3, message, -1, SQLITE_TRANSIENT);
            if (sqlite3_step(insert) != SQLITE_DONE)
                return 1;
            sqlite3_reset(insert);
        }
    }
    sqlite3_finalize(insert);
    if (!exec(db, "COMMIT"))
        return 1;
    sqlite3_close(db);
    std::printf("bench_cli_make_log: %d records over %d days in %s\n", days * perDay, days,
                argv[1]);
    return 0;
}
