#pragma once

// A long listing on a terminal goes through a pager, as journalctl's does: $TALLYLOG_PAGER, else
// $PAGER, else less (with LESS=FRSXMK unless LESS is set: quits at once when the text fits on a
// screen, passes the colours, no wrapping, quits on Ctrl+C). A pager set to "" or "cat" is none.
// What is written is decided by the terminal before the pager starts (text/Output.h).

#include <QByteArray>

#include <sys/types.h>

namespace TallyLog {

class Pager
{
public:
    Pager() = default;
    ~Pager() { finish(); }
    Pager(const Pager &) = delete;
    Pager &operator=(const Pager &) = delete;

    // Starts the pager and puts it on standard output, when that is a terminal that can take one
    // (TERM is not "dumb") and the environment names one; without a pager nothing changes. Called
    // just before the first output (setBeforeFirstOutput), so that an error alone opens none.
    void start();
    // Hands the pager the end of the output and waits until it has ended, so that the shell
    // takes the terminal back only then. False (with a line on standard error) when the pager
    // the environment names could not be started: the shell found no such program.
    bool finish();

private:
    pid_t m_pid = -1;
    QByteArray m_command; // as the environment gives it; empty for less
};

} // namespace TallyLog
