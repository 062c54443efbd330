#pragma once

#include "read/LogReader.h"

#include <QByteArray>
#include <QString>

namespace TallyLog {

// Tells `follow` when the log file it reads is no longer the one at its path, as `tail -F`
// notices: the file was removed, another file was moved over it, or other contents were written
// over it in place (a backup restored). The last record read is kept to tell the latter: a file
// that merely grew still holds it unchanged.
class FileChangeWatch
{
public:
    enum class Change
    {
        None,
        Removed,
        Replaced, // another file is at the path
    };

    // The file now at `path` is the one being read; nothing read from it yet.
    void watch(const QString &path);
    Change fileChange() const;

    // The last record read, handed over as it is read or looked up by its id.
    void remember(const SystemLog::LogRecordView &record);
    bool rememberAt(SystemLog::LogReader &reader, qint64 id);
    // Whether the last record read is gone from the file or is another one now; false also when
    // the file cannot be read (the read that follows says why).
    bool contentsReplaced(SystemLog::LogReader &reader);

private:
    static QByteArray contentsOf(const SystemLog::LogRecordView &record);

    QString m_path;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    qint64 m_lastId = 0;
    QByteArray m_lastContents;
};

} // namespace TallyLog
