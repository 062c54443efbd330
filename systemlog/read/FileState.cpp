#include "read/FileState.h"

#include <QFile>

#include <sys/stat.h>

namespace SystemLog {

FileIdentity FileIdentity::of(const QString &path)
{
    FileIdentity id;
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        id = {quint64(info.st_dev), quint64(info.st_ino), true};
    return id;
}

QByteArray fileVersion(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QByteArrayLiteral("missing");
    return QByteArray::number(qulonglong(st.st_dev)) + ':' +
           QByteArray::number(qulonglong(st.st_ino)) + ':' +
           QByteArray::number(qlonglong(st.st_size)) + ':' +
           QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
}

} // namespace SystemLog
