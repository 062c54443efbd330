#pragma once

// The TLS side of `tallylog forward`: the configuration built from --trust, --key and --cert,
// and what a failed handshake is said as.

#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

namespace TallyLog {

struct ForwardTlsFiles;

// The system's defaults with the files' certificate authorities in place of the system's, and
// the client certificate with its key; false with *problem ("FILE: reason") when a file cannot
// be read or holds no such thing (a key that is not the certificate's fails the handshake).
bool makeTlsConfiguration(const ForwardTlsFiles &files, QSslConfiguration *configuration,
                          QString *problem);

// "TLS handshake failed: <the library's reason> (certificate "CN=…", issued by "CN=…", valid
// from … to …)" for the errors met while checking the receiver's certificate, or, when the
// receiver ended the handshake itself, with the library's reason and the client certificate
// offered (or that none was).
QString describeHandshakeFailure(const QList<QSslError> &errors, const QString &libraryReason,
                                 const QSslConfiguration &configuration);

} // namespace TallyLog
