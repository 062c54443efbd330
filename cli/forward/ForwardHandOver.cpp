#include "forward/ForwardRun.h"

#include "text/Output.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace TallyLog {

namespace {

// The command line exactly as given (bytes, not decoded text).
std::vector<std::string> givenCommandLine()
{
    QFile file(QStringLiteral("/proc/self/cmdline"));
    std::vector<std::string> arguments;
    if (!file.open(QIODevice::ReadOnly))
        return arguments;
    const QByteArray all = file.readAll();
    for (const QByteArray &argument : all.split('\0'))
        arguments.emplace_back(argument.constData(), size_t(argument.size()));
    // The command line ends in a NUL, which leaves an empty piece behind it.
    if (!arguments.empty() && arguments.back().empty())
        arguments.pop_back();
    return arguments;
}

} // namespace

int handOverForward(const ForwardOptions &, const ForwardAddress &, const ForwardIdentity &)
{
    // Installed: in libexec, found from bin; in the build tree: beside tallylog.
    const QString here = QCoreApplication::applicationDirPath();
    const QStringList places{
        QDir::cleanPath(here + QStringLiteral("/" TALLYLOG_FORWARDER_DIR "/tallylog-forward")),
        here + QStringLiteral("/tallylog-forward")};
    std::vector<std::string> arguments = givenCommandLine();
    if (arguments.empty())
        return failure(QStringLiteral("/proc/self/cmdline"),
                       QStringLiteral("cannot read the command line to hand it on"));
    int error = ENOENT;
    QString tried = places.first();
    for (const QString &place : places) {
        arguments.front() = QFile::encodeName(place).toStdString();
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv.front(), argv.data());
        // Only returns when the program could not be run.
        if (errno != ENOENT) {
            error = errno;
            tried = place;
        }
    }
    return failure(tried, QStringLiteral("cannot start the forwarding program: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace TallyLog
