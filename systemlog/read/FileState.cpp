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

} // namespace SystemLog
