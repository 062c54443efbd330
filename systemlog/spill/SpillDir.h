#pragma once

#include <QString>
#include <QStringList>

class QRegularExpression;

namespace SystemLog::Spill {

// The journal's directory beside the log ("dbLog.spill"), open as a directory of its own: every
// segment is reached relative to it, and nothing in it is ever reached through a link. Made when
// first needed; a file or a link at its name is set aside first, untouched.
class SpillDir
{
public:
    explicit SpillDir(const QString &path) : m_path(path) {}
    ~SpillDir();
    SpillDir(const SpillDir &) = delete;
    SpillDir &operator=(const SpillDir &) = delete;

    QString path() const { return m_path; }
    QString filePath(const QString &name) const { return m_path + QLatin1Char('/') + name; }

    // Whether something is at the directory's name (without opening it).
    bool exists() const;
    // Opens the directory, making it (and syncing its parent) when `create` and it is missing.
    // 0 or the errno; *why says what failed.
    int open(bool create, QString *why);
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // fsync of the directory, through the spill's seam: 0 or the errno.
    int sync();

    // The names of the segments in it ("<32 hex digits>.spill"), and of segments whose creation
    // never ended (".<32 hex digits>.new"), each sorted.
    QStringList segmentNames() const;
    QStringList unfinishedNames() const;
    // The names of the segments' marks of what a log has taken ("<segment>.taken").
    QStringList takenMarkNames() const;
    static bool isSegmentName(const QString &name);

    // Removes an entry and syncs the directory: 0 or the errno (ENOENT when it was gone).
    int remove(const QString &name);
    // Renames an entry aside as "<name>.bad-<time>", untouched, and says so with `why`.
    bool setAside(const QString &name, const QString &why);

    // Bytes the file system has for unprivileged use, and its size: false when unknown.
    bool space(qint64 *available, qint64 *total) const;

private:
    QStringList namesMatching(const QRegularExpression &pattern) const;

    QString m_path;
    int m_fd = -1;
};

// A text for the moment, for names of set-aside files: "yyyyMMdd-hhmmss".
QString asideStamp();

} // namespace SystemLog::Spill
