#pragma once

// The receiver that `tallylog forward --to` names, read from its URL.

#include <QString>
#include <QUrl>

namespace TallyLog {

struct ForwardAddress
{
    enum class Kind
    {
        JournalRemote, // POST to `upload` (http or https)
        SyslogTcp,     // RFC 5424 over TCP to host:port
    };
    Kind kind = Kind::JournalRemote;
    QUrl upload;
    QString host;
    quint16 port = 0;
};

// http://HOST[:PORT] or https://... (journal-remote, default port 19532), or
// syslog+tcp://HOST[:PORT] (default 514). False, with *problem, for anything else.
bool parseForwardAddress(const QString &to, ForwardAddress *address, QString *problem);

} // namespace TallyLog
