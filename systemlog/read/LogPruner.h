#pragma once

#include <QString>

#include <limits>
#include <memory>

namespace SystemLog {

// Removes old records from a log file ("dbLog.db") directly through SQLite while services in
// other processes keep writing to it: in short transactions, with pauses between them, so that a
// writer never waits long. Never creates the file.
class LogPruner
{
public:
    enum class Access
    {
        CountOnly, // opens the file read-only: countBefore only
        Delete,    // opens it for writing
    };

    LogPruner();
    ~LogPruner();
    LogPruner(const LogPruner &) = delete;
    LogPruner &operator=(const LogPruner &) = delete;

    // Opens an existing log file, checked as LogReader::open checks it.
    bool open(const QString &path, Access access);
    void close();
    bool isOpen() const;

    // The reason of the last failure, and whether it may pass (the file was busy or locked).
    QString errorString() const;
    bool lastErrorIsTransient() const;

    // The number of records stamped before `moment` ("yyyy-MM-dd hh:mm:ss") with ids up to
    // `upToId`.
    bool countBefore(const QString &moment, qint64 *count,
                     qint64 upToId = std::numeric_limits<qint64>::max());
    // Deletes the records stamped before `moment` with ids up to `upToId` in short
    // transactions; *deleted counts them.
    bool deleteBefore(const QString &moment, qint64 *deleted,
                      qint64 upToId = std::numeric_limits<qint64>::max());

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace SystemLog
