// A program that logs through the SystemLog service: it starts the service, hands over a few
// records through the output hook and releases the service. The records end up in "dbLog.db"
// in the working directory.

// Either form finds an installed header: the package puts include/systemlog and include on
// the include path.
#include "LogTypes.h"
#include "OutputHook.h"
#include <systemlog/qzSysLog.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstring>

namespace {

// The hook takes the message as UTF-8 bytes and their count; no terminating NUL is needed.
void log(SystemLog::LogType type, const QString &message)
{
    const QByteArray bytes = message.toUtf8();
    SystemLog::outputHook(type, bytes.constData(), bytes.size());
}

} // namespace

int main(int argc, char *argv[])
{
    // The application object comes first, as in any Qt program; it also adds the program's own
    // directory to the places where Qt looks for plugins such as the SQLite driver.
    QCoreApplication application(argc, argv);

    // Before the service is started the hook writes the bare message bytes to standard output.
    const char before[] = "consumer: logging to standard output until the service starts\n";
    SystemLog::outputHook(SystemLog::OtherInfo, before, int(std::strlen(before)));

    // Creates the service (and opens or creates ./dbLog.db), then points the hook at it.
    SystemLog::qzSysLog::instance()->start();

    log(SystemLog::SystemStatus, QStringLiteral("consumer: system started"));
    log(SystemLog::UserAction, QStringLiteral("用户 operator 登录"));
    log(SystemLog::ParameterChange, QStringLiteral("参数 主轴转速 从 1200 改为 1500"));
    log(SystemLog::Alarm, QStringLiteral("报警：温度 86 ℃ 超过上限 80 ℃"));
    log(SystemLog::OtherInfo, QStringLiteral("consumer: it's 100% done"));

    // Stores everything handed over so far, ends the writer thread and closes the database.
    SystemLog::qzSysLog::release();

    // After the release the hook writes to standard output again.
    const char after[] = "consumer: service released\n";
    SystemLog::outputHook(SystemLog::OtherInfo, after, int(std::strlen(after)));
    return 0;
}
