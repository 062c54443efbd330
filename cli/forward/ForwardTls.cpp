#include "forward/ForwardTls.h"

#include "forward/ForwardAddress.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>

namespace TallyLog {

namespace {

// A PEM file of a few certificates or a key is small; a larger one is read as far as this.
constexpr qint64 kMaxPemBytes = 16 << 20;

bool readPem(const QString &path, QByteArray *bytes, QString *problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.read(kMaxPemBytes);
    if (file.error() != QFileDevice::NoError) {
        *problem = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString nameOf(const QSslCertificate &certificate, bool issuer)
{
    const QStringList names = issuer ? certificate.issuerInfo(QSslCertificate::CommonName)
                                     : certificate.subjectInfo(QSslCertificate::CommonName);
    return names.isEmpty() ? QStringLiteral("(no common name)") : names.join(QLatin1Char(','));
}

QString describeCertificate(const QSslCertificate &certificate)
{
    return QStringLiteral("certificate \"CN=%1\", issued by \"CN=%2\", valid from %3 to %4")
        .arg(nameOf(certificate, false), nameOf(certificate, true),
             certificate.effectiveDate().toString(Qt::ISODate),
             certificate.expiryDate().toString(Qt::ISODate));
}

bool loadKey(const ForwardTlsFiles &files, QSslKey *key, QString *problem)
{
    QByteArray pem;
    if (!readPem(files.key, &pem, problem))
        return false;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        *key = QSslKey(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key->isNull())
            return true;
    }
    *problem = QStringLiteral("%1: no private key in PEM form (an unencrypted RSA, EC or DSA key)")
                   .arg(files.key);
    return false;
}

} // namespace

bool makeTlsConfiguration(const ForwardTlsFiles &files, QSslConfiguration *configuration,
                          QString *problem)
{
    *configuration = QSslConfiguration::defaultConfiguration();
    QByteArray pem;
    if (files.trust == QLatin1String("all")) {
        configuration->setPeerVerifyMode(QSslSocket::VerifyNone);
    } else if (!files.trust.isEmpty()) {
        if (!readPem(files.trust, &pem, problem))
            return false;
        const QList<QSslCertificate> authorities = QSslCertificate::fromData(pem, QSsl::Pem);
        if (authorities.isEmpty()) {
            *problem = QStringLiteral("%1: no certificate in PEM form").arg(files.trust);
            return false;
        }
        configuration->setCaCertificates(authorities);
    }
    if (files.cert.isEmpty())
        return true;
    if (!readPem(files.cert, &pem, problem))
        return false;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(pem, QSsl::Pem);
    QSslKey key;
    if (chain.isEmpty()) {
        *problem = QStringLiteral("%1: no certificate in PEM form").arg(files.cert);
        return false;
    }
    if (!loadKey(files, &key, problem))
        return false;
    configuration->setLocalCertificateChain(chain);
    configuration->setPrivateKey(key);
    return true;
}

QString describeHandshakeFailure(const QList<QSslError> &errors, const QString &libraryReason,
                                 const QSslConfiguration &configuration)
{
    QStringList reasons;
    for (const QSslError &error : errors) {
        const QString line =
            error.certificate().isNull()
                ? error.errorString()
                : QStringLiteral("%1 (%2)").arg(error.errorString(),
                                                describeCertificate(error.certificate()));
        if (!reasons.contains(line))
            reasons << line;
    }
    if (!reasons.isEmpty())
        return QStringLiteral("TLS handshake failed: the receiver's certificate was refused: %1")
            .arg(reasons.join(QStringLiteral("; ")));
    const QSslCertificate ours = configuration.localCertificate();
    return QStringLiteral("TLS handshake failed: %1 (%2)")
        .arg(libraryReason, ours.isNull()
                                ? QStringLiteral("no client certificate was offered: "
                                                 "--cert and --key")
                                : QStringLiteral("offered our ") + describeCertificate(ours));
}

} // namespace TallyLog
