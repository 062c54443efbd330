#include "BenchSupport.h"

#include "TestLogFile.h"

#include <QDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bench {

namespace {

// Linear interpolation between the closest ranks.
double quantile(const std::vector<double> &sorted, double q)
{
    if (sorted.empty())
        return 0;
    const double pos = q * static_cast<double>(sorted.size() - 1);
    const std::size_t lo = static_cast<std::size_t>(pos);
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double frac = pos - static_cast<double>(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

} // namespace

Summary summarize(std::vector<double> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.n = static_cast<int>(values.size());
    s.min = values.front();
    s.max = values.back();
    s.median = quantile(values, 0.5);
    s.q1 = quantile(values, 0.25);
    s.q3 = quantile(values, 0.75);
    return s;
}

std::string grouped(double value)
{
    return BenchText::grouped(static_cast<long long>(value + 0.5));
}

WorkDir::WorkDir() : m_previous(QDir::currentPath())
{
    if (!m_dir.isValid())
        die("cannot create a temporary directory: " + m_dir.errorString().toStdString());
    if (!QDir::setCurrent(m_dir.path()))
        die("cannot enter " + m_dir.path().toStdString());
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(m_previous);
}

std::string WorkDir::file(const char *name) const
{
    return QDir(m_dir.path()).absoluteFilePath(QString::fromUtf8(name)).toStdString();
}

const std::string &schemaStatement()
{
    static const std::string statement = [] {
        const std::string s = TestLogFile::tableStatement().toStdString();
        if (s.size() != 217)
            die("table statement has " + std::to_string(s.size()) + " characters, not 217");
        return s;
    }();
    return statement;
}

void die(const std::string &what)
{
    std::fprintf(stderr, "bench_service: %s\n", what.c_str());
    std::fflush(stdout);
    std::exit(2);
}

sqlite3 *openDb(const std::string &path, int flags)
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        die("cannot open " + path + ": " + why);
    }
    return db;
}

void execOrDie(sqlite3 *db, const char *sql)
{
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        die(std::string("statement failed: ") + sql + ": " + why);
    }
}

sqlite3_stmt *prepareOrDie(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        die(std::string("cannot prepare: ") + sql + ": " + sqlite3_errmsg(db));
    return stmt;
}

long long scalarOrDie(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *stmt = prepareOrDie(db, sql);
    if (sqlite3_step(stmt) != SQLITE_ROW)
        die(std::string("no result: ") + sql + ": " + sqlite3_errmsg(db));
    const long long value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

QByteArray message64()
{
    // 41 bytes of mixed text, then ASCII up to exactly 64 bytes.
    QByteArray m = QByteArrayLiteral("报警：温度 85 ℃ 超过上限 80 ℃");
    m += " (station A1, loop 3)";
    while (m.size() < 64)
        m += '.';
    m.truncate(64);
    return m;
}

QByteArray sampleMessage(long long i, int type)
{
    const int variant = static_cast<int>((i / 5) % 3);
    QString text;
    switch (type) {
    case 0:
        text = variant == 0   ? QStringLiteral("参数 主轴转速 从 %1 改为 %2")
               : variant == 1 ? QStringLiteral("Parameter feed_rate changed from %1 to %2")
                              : QStringLiteral("参数 加热温度 从 %1 ℃ 改为 %2 ℃");
        text = text.arg(i % 997).arg((i * 7) % 991);
        break;
    case 1:
        text = variant == 0   ? QStringLiteral("用户 operator%1 登录")
               : variant == 1 ? QStringLiteral("用户 operator%1 退出登录")
                              : QStringLiteral("User admin%1 logged in from 192.168.1.20");
        text = text.arg(i % 17);
        break;
    case 2:
        text = variant == 0   ? QStringLiteral("CPU 占用 %1%，内存占用 1536 MB")
               : variant == 1 ? QStringLiteral("Disk usage at %1%, 120 GB free")
                              : QStringLiteral("数据库备份完成，用时 %1 ms");
        text = text.arg(i % 100);
        break;
    case 3:
        text = variant == 0   ? QStringLiteral("报警：温度 %1 ℃ 超过上限 80 ℃")
               : variant == 1 ? QStringLiteral("Alarm: emergency stop pressed at station A%1")
                              : QStringLiteral("报警：设备 B%1 通信中断");
        text = text.arg(80 + i % 20);
        break;
    default:
        text = variant == 0   ? QStringLiteral("配置文件已保存（第 %1 次）")
               : variant == 1 ? QStringLiteral("Network time synchronised (offset %1 ms)")
                              : QStringLiteral("打印任务 %1 已完成");
        text = text.arg(i % 1000);
        break;
    }
    return text.toUtf8();
}

} // namespace bench
