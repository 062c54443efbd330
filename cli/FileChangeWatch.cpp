#include "FileChangeWatch.h"

#include <QFile>

#include <sys/stat.h>

namespace TallyLog {

namespace {

bool identify(const QString &path, quint64 *device, quint64 *inode)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *device = info.st_dev;
    *inode = info.st_ino;
    return true;
}

} // namespace

void FileChangeWatch::watch(const QString &path)
{
    m_path = path;
    if (!identify(path, &m_device, &m_inode))
        m_device = m_inode = 0;
    m_lastId = 0;
    m_lastContents.clear();
}

FileChangeWatch::Change FileChangeWatch::fileChange() const
{
    quint64 device = 0;
    quint64 inode = 0;
    if (!identify(m_path, &device, &inode))
        return Change::Removed;
    return device == m_device && inode == m_inode ? Change::None : Change::Replaced;
}

QByteArray FileChangeWatch::contentsOf(const SystemLog::LogRecordView &record)
{
    QByteArray contents(record.datetime.data(), static_cast<int>(record.datetime.size()));
    contents += '\0';
    contents.append(record.message.data(), static_cast<int>(record.message.size()));
    return contents;
}

void FileChangeWatch::remember(const SystemLog::LogRecordView &record)
{
    m_lastId = record.id;
    m_lastContents = contentsOf(record);
}

bool FileChangeWatch::rememberAt(SystemLog::LogReader &reader, qint64 id)
{
    return reader.recordAt(id, [this](const SystemLog::LogRecordView &record) {
        remember(record);
        return true;
    });
}

bool FileChangeWatch::contentsReplaced(SystemLog::LogReader &reader)
{
    if (m_lastId <= 0)
        return false;
    bool same = false;
    const bool read = reader.recordAt(m_lastId, [&](const SystemLog::LogRecordView &record) {
        same = contentsOf(record) == m_lastContents;
        return true;
    });
    return read && !same;
}

} // namespace TallyLog
