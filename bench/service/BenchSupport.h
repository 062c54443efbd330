#pragma once

// Helpers shared by the measurements of bench_service: timing, statistics, a temporary working
// directory per measurement, thin wrappers over the sqlite3 C API and the sample messages.

#include "BenchText.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double nsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::nano>(b - a).count();
}

// Median, quartiles and extremes of a set of measurements.
struct Summary
{
    double median = 0;
    double q1 = 0;
    double q3 = 0;
    double min = 0;
    double max = 0;
    int n = 0;
};
Summary summarize(std::vector<double> values);

// One line of the result table.
struct Row
{
    std::string figure;
    std::string value;
    std::string baseline;
    std::string ratio;
    std::string target;
    enum class Verdict
    {
        Pass,
        Fail,
        Info
    } verdict = Verdict::Info;
};

// printf into a std::string.
using BenchText::format;
// 1234567.8 -> "1,234,568"
std::string grouped(double value);

// A fresh temporary directory made the working directory for the lifetime of the object; the
// previous working directory is restored (and the directory removed) on destruction.
class WorkDir
{
public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

    QString path() const { return m_dir.path(); }
    // Absolute path of a file in the directory, as UTF-8 for the sqlite3 API.
    std::string file(const char *name) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// The table statement of the log file, character for character (217 characters).
const std::string &schemaStatement();

// sqlite3 helpers that end the program with a message when a statement fails: a benchmark
// that silently measures a failing statement would report nonsense.
sqlite3 *openDb(const std::string &path, int flags);
void execOrDie(sqlite3 *db, const char *sql);
sqlite3_stmt *prepareOrDie(sqlite3 *db, const char *sql);
long long scalarOrDie(sqlite3 *db, const char *sql);
[[noreturn]] void die(const std::string &what);

// A 64-byte UTF-8 message (Chinese and ASCII), used for the hook call cost.
QByteArray message64();
// Realistic log messages for record i, cycling through a few templates per category.
QByteArray sampleMessage(long long i, int type);

} // namespace bench
