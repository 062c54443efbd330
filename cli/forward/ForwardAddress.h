#pragma once

// The receiver that `tallylog forward --to` names, read from its URL, and how its TLS is set up.

#include <QString>
#include <QUrl>

namespace TallyLog {

// --trust, --key and --cert: the PEM files for a receiver reached over TLS.
struct ForwardTlsFiles
{
    QString trust; // a CA bundle, "all" (no verification) or empty (the system's authorities)
    QString key;   // the client's private key (empty: no client certificate)
    QString cert;  // the client's certificate
    bool any() const { return !trust.isEmpty() || !key.isEmpty() || !cert.isEmpty(); }
};

struct ForwardAddress
{
    enum class Kind
    {
        JournalRemote, // POST to `upload` (http or https)
        SyslogTcp,     // RFC 5424 over TCP to host:port
        SyslogTls,     // the same over TLS (RFC 5425)
    };
    Kind kind = Kind::JournalRemote;
    QUrl upload;
    QString host;
    quint16 port = 0;
    bool tls = false; // https:// or syslog+tls://
    ForwardTlsFiles tlsFiles;
};

// http://HOST[:PORT] or https://... (journal-remote, default port 19532), syslog+tcp://HOST[:PORT]
// (default 514) or syslog+tls://HOST[:PORT] (default 6514), with the TLS files, which go only
// with https and syslog+tls (a key only with a certificate). False, with *problem, for anything
// else.
bool parseForwardAddress(const QString &to, const ForwardTlsFiles &tlsFiles,
                         ForwardAddress *address, QString *problem);

} // namespace TallyLog
