#include "text/Output.h"

#include <cerrno>

#include <unistd.h>

namespace TallyLog {

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fputc('\n', stream);
}

int failure(const QString &path, const QString &reason)
{
    printLine(stderr, QStringLiteral("tallylog: %1: %2").arg(path, reason));
    return kExitFailure;
}

namespace {

bool g_toPager = false;
bool g_cutShort = false;
std::function<void()> g_beforeFirstOutput;

bool outputFailed()
{
    if (g_toPager && errno == EPIPE) {
        g_cutShort = true;
        return false;
    }
    printLine(stderr, QStringLiteral("tallylog: cannot write the output"));
    return false;
}

} // namespace

void setBeforeFirstOutput(std::function<void()> start)
{
    g_beforeFirstOutput = std::move(start);
}

void setOutputToPager(bool toPager)
{
    g_toPager = toPager;
}

bool outputCutShort()
{
    return g_cutShort;
}

bool writeOut(std::string &buffer, bool flush)
{
    if (g_cutShort)
        return false;
    if (!buffer.empty() && g_beforeFirstOutput) {
        const std::function<void()> start = std::move(g_beforeFirstOutput);
        g_beforeFirstOutput = nullptr;
        start();
    }
    errno = 0;
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), stdout) != buffer.size())
        return outputFailed();
    buffer.clear();
    if (flush && std::fflush(stdout) != 0)
        return outputFailed();
    return true;
}

bool outputIsTerminal()
{
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

QString padded(const QString &text, int columns)
{
    int width = 0;
    for (const QChar c : text)
        width += c.unicode() >= 0x1100 ? 2 : 1;
    return text + QString(qMax(0, columns - width), QLatin1Char(' '));
}

} // namespace TallyLog
