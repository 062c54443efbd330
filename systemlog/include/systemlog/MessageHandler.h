#pragma once

#include <QString>

namespace SystemLog {

// Routes the program's Qt messages into the log through outputHook:
//
//   qWarning                      -> 系统状态记录 (SystemStatus, 2)
//   qCritical, qFatal             -> 报警记录 (Alarm, 3)
//   qInfo, qDebug (if asked for)  -> 其他信息 (OtherInfo, 4)
//
// A record holds the message's text, preceded by "<category>: " when the message has a logging
// category other than "default" ("qt.network: connection refused"). The handler that was
// installed before still receives every message, so standard error keeps showing them.
// Messages raised while a message is being logged (in the same thread) only reach the earlier
// handler. For qFatal the record is queued and the thread waits up to 100 ms for the writer to
// store it before Qt aborts the program; it is stored only when the service's writer runs a
// cycle in that time.
// Install and uninstall from one thread, normally the main thread, with the service started.
void installMessageHandler(bool includeDebug = false);
// Puts the handler back that was there before installMessageHandler().
void uninstallMessageHandler();

// One record of `type` with the text (stored as UTF-8), through outputHook.
void log(int type, const QString &text);

} // namespace SystemLog
