#pragma once

// A program that a test runs beside itself: started with the variables the test sets, its output
// gathered as it comes, waited on for what it writes with the hang guard as the bound, and ended
// by the signal the test chooses; killed at the latest when the test leaves, failed or not.

#include "TestFiles.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

#include <signal.h>

namespace TestFiles {

class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess() { end(SIGKILL); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts the program in `workDir` (empty: the test's own); `environment` holds "NAME=value"
    // to set and "NAME" to remove. What an earlier run wrote is forgotten.
    bool start(const QString &program, const QStringList &arguments,
               const QString &workDir = QString(), const QStringList &environment = {})
    {
        m_out.clear();
        m_err.clear();
        m_timedOut = false;
        m_started = false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &variable : environment) {
            const int equals = variable.indexOf(QLatin1Char('='));
            if (equals < 0)
                env.remove(variable);
            else
                env.insert(variable.left(equals), variable.mid(equals + 1));
        }
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(workDir);
        m_process.start(program, arguments);
        m_started = m_process.waitForStarted(kHangGuardMs);
        return m_started;
    }

    // Everything it wrote so far on standard output and on standard error.
    const QByteArray &out()
    {
        gather();
        return m_out;
    }
    const QByteArray &err()
    {
        gather();
        return m_err;
    }

    // Waits until done() holds, reading the output meanwhile and running the test's events;
    // false when the program ended without it, or the hang guard ran out.
    bool waitFor(const std::function<bool()> &done)
    {
        QDeadlineTimer deadline(kHangGuardMs);
        for (;;) {
            gather();
            if (done())
                return true;
            if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            m_process.waitForReadyRead(20);
            QCoreApplication::processEvents();
        }
    }
    bool waitForOut(const QByteArray &text)
    {
        return waitFor([&] { return m_out.contains(text); });
    }
    bool waitForErr(const QByteArray &text)
    {
        return waitFor([&] { return m_err.contains(text); });
    }

    // Sends `signal` unless it has ended, then waits for the end (SIGKILL after the hang
    // guard): its exit code, or -1 when it did not exit on its own terms (a signal, a crash).
    int end(int signal = SIGTERM)
    {
        // A process that has ended has id 0, and kill(0) would signal the test too.
        if (m_process.state() != QProcess::NotRunning && m_process.processId() > 0)
            ::kill(static_cast<pid_t>(m_process.processId()), signal);
        return finish();
    }
    // Waits for it to end on its own: as end().
    int finish()
    {
        if (m_process.state() != QProcess::NotRunning && !m_process.waitForFinished(kHangGuardMs)) {
            m_timedOut = true;
            m_process.kill();
            m_process.waitForFinished(kHangGuardMs);
        }
        gather();
        return m_started && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode()
                                                                           : -1;
    }

    // The last finish() or end() ran out of the hang guard and killed it.
    bool timedOut() const { return m_timedOut; }
    qint64 pid() const { return m_process.processId(); }
    QProcess &process() { return m_process; }

private:
    void gather()
    {
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
    }

    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
    bool m_started = false;
    bool m_timedOut = false;
};

} // namespace TestFiles
