#pragma once

// Log files written by the tests and tallylog run as a program on them, shared by the tests of
// tallylog's commands.

#include "ChildProcess.h"
#include "TestFiles.h"
#include "TestLogFile.h"

#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVector>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace TallylogSupport {

using TestLogFile::Record;

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The display name of a category; empty for a number outside 0 to 4.
inline QString categoryName(int type)
{
    static const char *const names[] = {"参数修改记录", "用户使用记录", "系统状态记录", "报警记录",
                                        "其他信息"};
    return type >= 0 && type < 5 ? QString::fromUtf8(names[type]) : QString();
}

// Messages that an output format could mangle.
inline QStringList hostileMessages()
{
    return {QStringLiteral("say \"hi\", then \"\"bye\"\""),
            QStringLiteral("a,b,,c"),
            QStringLiteral("line1\nline2"),
            QStringLiteral("cr\ronly"),
            QStringLiteral("crlf\r\nend\r\n"),
            QStringLiteral("\ttabs\t"),
            QStringLiteral("C:\\logs\\ \\\" \\\\"),
            QString::fromUtf8("ctl \x01\x08\x0c\x1b\x1f\x7f end"),
            QString::fromUtf8("报警：温度 86 ℃ 超过上限"),
            QString::fromUtf8("emoji 😀 𐍈 and U+FFFD \xef\xbf\xbd"),
            QStringLiteral("%1 %2 %L1"),
            QString(),
            QStringLiteral("{\"json\": [1, 2]}")};
}

inline bool writeLog(const QString &path, const QVector<Record> &records)
{
    // With the index the service creates, so that the reads take the same path as on a real log.
    return TestLogFile::writeRecords(path, records) &&
           TestLogFile::withConnection(path, [](QSqlDatabase &db) {
               return QSqlQuery(db).exec(QStringLiteral(
                   "CREATE INDEX IF NOT EXISTS SystemInfo_type_datetime ON SystemInfo(type, "
                   "datetime)"));
           });
}

// A log as another program may have written it: the columns spelled in capitals, the type column
// without a declared type, so that it keeps whatever value was stored (integer, text, real, blob,
// NULL, a number beyond 32 bits), stamped 2026-12-08 10:00:00 to 10:00:05.
inline bool writeForeignLog(const QString &path)
{
    return TestLogFile::withConnection(path, [](QSqlDatabase &db) {
        QSqlQuery q(db);
        bool ok = q.exec(QStringLiteral("CREATE TABLE SystemInfo(ID INTEGER PRIMARY KEY "
                                        "AUTOINCREMENT, DATETIME DATETIME, TYPE, MESSAGE TEXT)"));
        const char *const values[] = {"3", "'3'", "3.5", "x'41'", "NULL", "5000000000"};
        for (int i = 0; ok && i < 6; ++i)
            ok = q.exec(QStringLiteral("INSERT INTO SystemInfo(DATETIME, TYPE, MESSAGE) VALUES("
                                       "'2026-12-08 10:00:0%1', %2, 'row %3')")
                            .arg(i)
                            .arg(QLatin1String(values[i]))
                            .arg(i + 1));
        return ok;
    });
}

// A pseudo-terminal whose slave a child takes as its standard output; raw, so that what the
// child writes arrives unchanged (no LF to CRLF).
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_slaveName = QString::fromLocal8Bit(ptsname(m_master));
        m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
        termios mode;
        if (m_slave < 0 || tcgetattr(m_slave, &mode) != 0)
            return;
        cfmakeraw(&mode);
        tcsetattr(m_slave, TCSANOW, &mode);
        fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~PseudoTerminal()
    {
        ::close(m_slave);
        ::close(m_master);
    }
    bool isValid() const { return m_slave >= 0; }
    QString slaveName() const { return m_slaveName; }
    QByteArray readAll() const
    {
        QByteArray all;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(m_master, chunk, sizeof chunk)) > 0)
            all.append(chunk, static_cast<int>(n));
        return all;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slaveName;
};

// `terminal`: standard output on that pseudo-terminal (run.out gets what it shows); `environment`:
// variables set for this run ("NAME=value") or unset ("NAME").
inline Run tallylog(const QStringList &arguments, const QString &workDir = QString(),
                    const PseudoTerminal *terminal = nullptr, const QStringList &environment = {})
{
    TestFiles::ChildProcess process;
    if (terminal)
        process.process().setStandardOutputFile(terminal->slaveName());
    Run run;
    if (process.start(QStringLiteral(TALLYLOG_PATH), arguments, workDir, environment))
        run.status = process.finish();
    run.out = terminal ? terminal->readAll() : process.out();
    run.err = process.err();
    return run;
}

} // namespace TallylogSupport
