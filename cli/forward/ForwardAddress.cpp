#include "forward/ForwardAddress.h"

namespace TallyLog {

namespace {

constexpr quint16 kJournalRemotePort = 19532;
constexpr quint16 kSyslogPort = 514;
constexpr quint16 kSyslogTlsPort = 6514;

bool checkTlsFiles(const ForwardAddress &address, QString *problem)
{
    const ForwardTlsFiles &files = address.tlsFiles;
    if (files.any() && !address.tls)
        *problem = QStringLiteral("--trust, --key and --cert go with https:// or syslog+tls://");
    else if (files.key.isEmpty() != files.cert.isEmpty())
        *problem = QStringLiteral("--key and --cert go together (the client's private key and "
                                  "its certificate)");
    else
        return true;
    return false;
}

} // namespace

bool parseForwardAddress(const QString &to, const ForwardTlsFiles &tlsFiles,
                         ForwardAddress *address, QString *problem)
{
    const QUrl url(to, QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool pathless = url.path().isEmpty() || url.path() == QLatin1String("/");
    // Port 0 names no server: nothing could ever be delivered there.
    if (!url.isValid() || url.host().isEmpty() || !pathless || url.hasQuery() ||
        url.hasFragment() || !url.userInfo().isEmpty() || url.port() == 0) {
        *problem = QStringLiteral("bad --to '%1' (http://HOST[:PORT], https://HOST[:PORT], "
                                  "syslog+tcp://HOST[:PORT] or syslog+tls://HOST[:PORT])")
                       .arg(to);
        return false;
    }
    address->tlsFiles = tlsFiles;
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        address->kind = ForwardAddress::Kind::JournalRemote;
        address->upload = url;
        address->upload.setPort(url.port(kJournalRemotePort));
        address->upload.setPath(QStringLiteral("/upload"));
        address->tls = scheme == QLatin1String("https");
        return checkTlsFiles(*address, problem);
    }
    const bool tls = scheme == QLatin1String("syslog+tls");
    if (scheme == QLatin1String("syslog+tcp") || tls) {
        address->kind = tls ? ForwardAddress::Kind::SyslogTls : ForwardAddress::Kind::SyslogTcp;
        address->host = url.host();
        address->port = static_cast<quint16>(url.port(tls ? kSyslogTlsPort : kSyslogPort));
        address->tls = tls;
        return checkTlsFiles(*address, problem);
    }
    *problem =
        QStringLiteral("unknown receiver '%1' (http, https, syslog+tcp or syslog+tls)").arg(scheme);
    return false;
}

} // namespace TallyLog
