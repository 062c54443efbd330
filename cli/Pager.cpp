#include "Pager.h"

#include "text/Output.h"

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace TallyLog {

namespace {

// The command the environment names, empty for less; false when it names no pager.
bool pagerCommand(QByteArray *command)
{
    const char *const variable =
        qEnvironmentVariableIsSet("TALLYLOG_PAGER") ? "TALLYLOG_PAGER" : "PAGER";
    if (!qEnvironmentVariableIsSet(variable)) {
        command->clear();
        return true;
    }
    *command = qgetenv(variable).trimmed();
    return !command->isEmpty() && *command != "cat";
}

// In the child, once standard input is the pipe: the pager, or where none can start, the text
// copied through as it comes.
[[noreturn]] void runPager(const QByteArray &command)
{
    if (!command.isEmpty()) {
        ::execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char *>(nullptr));
    } else {
        ::execlp("less", "less", static_cast<char *>(nullptr));
        ::execlp("more", "more", static_cast<char *>(nullptr));
    }
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(STDIN_FILENO, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t done = 0; n > 0 && done < n;) {
            const ssize_t written = ::write(STDOUT_FILENO, chunk + done, size_t(n - done));
            if (written < 0 && errno != EINTR)
                ::_exit(1);
            done += written > 0 ? written : 0;
        }
    }
    ::_exit(0);
}

} // namespace

void Pager::start()
{
    QByteArray &command = m_command;
    if (m_pid > 0 || !outputIsTerminal() || qgetenv("TERM") == "dumb" || !pagerCommand(&command))
        return;
    // Set here rather than in the child, where only the exec is safe to call.
    if (!qEnvironmentVariableIsSet("LESS"))
        qputenv("LESS", "FRSXMK");
    if (!qEnvironmentVariableIsSet("LESSCHARSET"))
        qputenv("LESSCHARSET", "utf-8");
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return;
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return;
    }
    if (pid == 0) {
        // The pager goes when tallylog does (killed by Ctrl+C, say), not left on the terminal.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(pipeEnds[0], STDIN_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        runPager(command);
    }
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    // A pager that the user quits early closes the pipe: the listing then ends quietly.
    std::signal(SIGPIPE, SIG_IGN);
    setOutputToPager(true);
    m_pid = pid;
}

bool Pager::finish()
{
    if (m_pid <= 0)
        return true;
    std::fflush(stdout);
    ::close(STDOUT_FILENO);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    // The shell's statuses for a command it could not find or run.
    const bool notStarted =
        WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127);
    if (notStarted && !m_command.isEmpty())
        printLine(stderr, QStringLiteral("tallylog: the pager '%1' could not be started "
                                         "(--no-pager writes without one)")
                              .arg(QString::fromLocal8Bit(m_command)));
    return !notStarted || m_command.isEmpty();
}

} // namespace TallyLog
