#include "ChildSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Robustness {

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

QString lastErrno()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

void dropToNobody()
{
    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) != 0)
        fail(ExitCannotRestrict, QStringLiteral("setgroups: %1").arg(lastErrno()));
    if (setgid(kNogroup) != 0)
        fail(ExitCannotRestrict, QStringLiteral("setgid(65534): %1").arg(lastErrno()));
    if (setuid(kNobody) != 0)
        fail(ExitCannotRestrict, QStringLiteral("setuid(65534): %1").arg(lastErrno()));
    if (getuid() != kNobody || geteuid() != kNobody || getgid() != kNogroup ||
        getegid() != kNogroup)
        fail(ExitCannotRestrict, QStringLiteral("ids did not change to 65534"));
    // A real drop cannot be undone.
    if (setuid(0) == 0)
        fail(ExitCannotRestrict, QStringLiteral("could become root again after the drop"));
    // Changing ids makes the process non-dumpable, which hides /proc/self from it (and from the
    // sanitizer runtimes that read it).
    prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

void expectUnreadable(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        fail(ExitUsage, QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path), lastErrno()));
    const int fd = open(path, O_RDONLY);
    if (fd >= 0) {
        close(fd);
        fail(ExitRestrictionIneffective,
             QStringLiteral("%1 is readable although it must not be (uid %2): the permission "
                            "bits are not enforced for this process")
                 .arg(QString::fromLocal8Bit(path))
                 .arg(geteuid()));
    }
}

void expectUnwritable(const char *directory)
{
    const QByteArray probe = QByteArray(directory) + "/.robustness-write-probe";
    const int fd = open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(probe.constData());
        fail(ExitRestrictionIneffective,
             QStringLiteral("a file can be created in %1 although it must not (uid %2): the "
                            "permission bits are not enforced for this process")
                 .arg(QString::fromLocal8Bit(directory))
                 .arg(geteuid()));
    }
}

} // namespace

void fail(int code, const QString &message)
{
    std::fprintf(stderr, "robustness child: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    std::fflush(stdout);
    std::_Exit(code);
}

int applyRestrictions(int argc, char **argv)
{
    int i = 1;
    // The drop comes first so that the checks below run with the final ids.
    for (int j = 1; j < argc; ++j) {
        if (std::strcmp(argv[j], "--as-nobody") == 0)
            dropToNobody();
    }
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strcmp(argv[i], "--as-nobody") == 0)
            continue;
        if (i + 1 >= argc)
            fail(ExitUsage,
                 QStringLiteral("%1 needs a value").arg(QString::fromLocal8Bit(argv[i])));
        if (std::strcmp(argv[i], "--expect-unreadable") == 0)
            expectUnreadable(argv[i + 1]);
        else if (std::strcmp(argv[i], "--expect-unwritable") == 0)
            expectUnwritable(argv[i + 1]);
        else
            fail(ExitUsage,
                 QStringLiteral("unknown option %1").arg(QString::fromLocal8Bit(argv[i])));
        ++i;
    }
    return i;
}

void limitFileSize(long bytes, const QString &probeDirectory)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        fail(ExitCannotRestrict, QStringLiteral("getrlimit: %1").arg(lastErrno()));
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        fail(ExitCannotRestrict, QStringLiteral("setrlimit(RLIMIT_FSIZE): %1").arg(lastErrno()));

    const QByteArray probe =
        QFile::encodeName(QDir(probeDirectory).filePath(QStringLiteral(".robustness-size-probe")));
    const int fd = open(probe.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        fail(ExitCannotRestrict,
             QStringLiteral("cannot create the size probe: %1").arg(lastErrno()));
    const QByteArray block(static_cast<int>(bytes) * 2, 'x');
    long written = 0;
    while (written < block.size()) {
        const ssize_t n =
            write(fd, block.constData() + written, static_cast<size_t>(block.size() - written));
        if (n <= 0)
            break;
        written += n;
    }
    close(fd);
    unlink(probe.constData());
    if (written > bytes)
        fail(ExitRestrictionIneffective,
             QStringLiteral("wrote %1 bytes past a file-size limit of %2").arg(written).arg(bytes));
}

QByteArray numberedMessage(int run, long long seq)
{
    QByteArray message =
        "campaign " + QByteArray::number(run) + ' ' + QByteArray::number(seq) + ' ';
    const int length = seq % 89 == 88 ? 40000 + int(seq % 7) * 3000 : int((seq * 37) % 200);
    static const QByteArray filling = QByteArray(u8"记录 'a' %1\t");
    while (message.size() < length)
        message += filling;
    return message;
}

int numberedType(long long seq)
{
    return int(seq % 5);
}

void report(const char *key, const QString &value)
{
    QByteArray line(key);
    line += ' ';
    line += value.toUtf8().toPercentEncoding();
    line += '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

} // namespace Robustness
