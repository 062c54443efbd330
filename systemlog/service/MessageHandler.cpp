#include "MessageHandler.h"

#include "LogTypes.h"
#include "OutputHook.h"

#include <QByteArray>
#include <QThread>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace SystemLog {

namespace {

std::atomic<QtMessageHandler> g_previous{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<bool> g_includeDebug{false};

// Set while this thread logs a message: a message raised meanwhile is not logged again.
thread_local bool t_logging = false;

int typeOf(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg:
        return SystemStatus;
    case QtCriticalMsg:
    case QtFatalMsg:
        return Alarm;
    case QtDebugMsg:
    case QtInfoMsg:
    default:
        return OtherInfo;
    }
}

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!t_logging && (type != QtDebugMsg || g_includeDebug.load())) {
        t_logging = true;
        QByteArray text;
        if (context.category && std::strcmp(context.category, "default") != 0) {
            text = context.category;
            text += ": ";
        }
        text += message.toUtf8();
        outputHook(typeOf(type), text.constData(), text.size());
        t_logging = false;
    }

    const QtMessageHandler previous = g_previous.load();
    if (previous) {
        previous(type, context, message);
    } else {
        const QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit();
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    }

    // Qt aborts once this returns. The writer stores its queue every 10 ms or so: give it the
    // chance to store this last record.
    if (type == QtFatalMsg)
        QThread::msleep(100);
}

} // namespace

void installMessageHandler(bool includeDebug)
{
    g_includeDebug.store(includeDebug);
    if (g_installed.exchange(true))
        return;
    // Qt 5 hands back its default handler when no other was installed.
    g_previous.store(qInstallMessageHandler(handleMessage));
}

void uninstallMessageHandler()
{
    if (!g_installed.exchange(false))
        return;
    qInstallMessageHandler(g_previous.exchange(nullptr));
}

void log(int type, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    outputHook(type, bytes.constData(), bytes.size());
}

} // namespace SystemLog
