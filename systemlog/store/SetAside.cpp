#include "store/SetAside.h"

#include "spill/OwnedFd.h"
#include "spill/SpillDir.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SystemLog::SetAside {

namespace {

bool exists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Renames `from` to `to` unless something has that name: in one step where the file system can,
// else after a look (the name was free a moment ago, and only a writer holding the file's lock
// chooses such names). 0 or the errno.
int renameNew(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    if (exists(to))
        return EEXIST;
    return ::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
}

void syncDirectory(const QString &path)
{
    OwnedFd dir;
    dir.fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd >= 0)
        ::fsync(dir.fd);
}

} // namespace

QString freeName(const QString &path, const QString &kind)
{
    const QString stamp = Spill::asideStamp();
    const auto taken = [](const QString &name) {
        if (exists(name))
            return true;
        for (const char *suffix : kCompanions)
            if (exists(name + QLatin1String(suffix)))
                return true;
        return false;
    };
    QString name = QStringLiteral("%1.%2-%3").arg(path, kind, stamp);
    for (int n = 2; taken(name); ++n)
        name = QStringLiteral("%1.%2-%3-%4").arg(path, kind, stamp).arg(n);
    return name;
}

int moveWithCompanions(const QString &path, const QString &target)
{
    QStringList moved;
    int error = 0;
    for (const char *suffix : kCompanions) {
        const QString companion = path + QLatin1String(suffix);
        if (!exists(companion))
            continue;
        error = renameNew(companion, target + QLatin1String(suffix));
        if (error != 0)
            break;
        moved << QLatin1String(suffix);
    }
    if (error == 0)
        error = renameNew(path, target);
    if (error != 0) {
        for (const QString &suffix : moved)
            ::rename(QFile::encodeName(target + suffix).constData(),
                     QFile::encodeName(path + suffix).constData());
        return error;
    }
    syncDirectory(path);
    return 0;
}

} // namespace SystemLog::SetAside
