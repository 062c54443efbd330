#include "forward/ForwardAddress.h"

namespace TallyLog {

namespace {

constexpr quint16 kJournalRemotePort = 19532;
constexpr quint16 kSyslogPort = 514;

} // namespace

bool parseForwardAddress(const QString &to, ForwardAddress *address, QString *problem)
{
    const QUrl url(to, QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool pathless = url.path().isEmpty() || url.path() == QLatin1String("/");
    // Port 0 names no server: nothing could ever be delivered there.
    if (!url.isValid() || url.host().isEmpty() || !pathless || url.hasQuery() ||
        url.hasFragment() || !url.userInfo().isEmpty() || url.port() == 0) {
        *problem = QStringLiteral("bad --to '%1' (http://HOST[:PORT], https://HOST[:PORT] or "
                                  "syslog+tcp://HOST[:PORT])")
                       .arg(to);
        return false;
    }
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        address->kind = ForwardAddress::Kind::JournalRemote;
        address->upload = url;
        address->upload.setPort(url.port(kJournalRemotePort));
        address->upload.setPath(QStringLiteral("/upload"));
        return true;
    }
    if (scheme == QLatin1String("syslog+tcp")) {
        address->kind = ForwardAddress::Kind::SyslogTcp;
        address->host = url.host();
        address->port = static_cast<quint16>(url.port(kSyslogPort));
        return true;
    }
    *problem = QStringLiteral("unknown receiver '%1' (http, https or syslog+tcp)").arg(scheme);
    return false;
}

} // namespace TallyLog
