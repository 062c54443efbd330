#include "forward/SyslogSender.h"

#include "forward/ForwardTls.h"
#include "spill/OwnedFd.h"

#include <QSslCertificate>
#include <QSslSocket>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TallyLog {

namespace {

constexpr qint64 kConnectTimeoutMs = 10000;
// A server that takes in nothing (or does not close) for this long is taken for gone.
constexpr qint64 kStalledMs = 60000;
// The longest look at the descriptor between two looks at the stop request.
constexpr int kPollMs = 100;
// What is kept of what a server wrote, to quote it.
constexpr int kAnswerQuoted = 80;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

SyslogSender::SyslogSender(QString host, quint16 port, std::optional<QSslConfiguration> tls,
                           StopRequested stop)
    : m_host(std::move(host)), m_port(port), m_tls(std::move(tls)), m_stop(std::move(stop))
{
    m_clock.start();
}

SyslogSender::~SyslogSender() = default;

void SyslogSender::begin(const std::string &batch)
{
    m_batch = &batch;
}

bool SyslogSender::waitFor(const std::function<bool()> &done, qint64 deadline) const
{
    return runEventsUntil(done, m_stop,
                          static_cast<int>(qMax<qint64>(0, deadline - m_clock.elapsed())));
}

ForwardSender::Result SyslogSender::failed(Result result, const QString &reason, QString *error)
{
    *error = reason;
    m_socket.reset();
    return m_stop() ? Result::Stopped : result;
}

// A TLS receiver that wants a client certificate and does not get one (or refuses the one it
// gets) may just close the connection after the handshake, with no word for the TLS library to
// pass on: the reason is then named as a likely one.
ForwardSender::Result SyslogSender::closedEarly(const QString &reason, QString *error)
{
    if (!m_tls)
        return failed(Result::Failed, reason, error);
    const QSslCertificate ours = m_tls->localCertificate();
    if (ours.isNull())
        return failed(Result::Refused,
                      reason + QStringLiteral(" after the TLS handshake: the receiver may require "
                                              "a client certificate (none was offered: --cert "
                                              "and --key)"),
                      error);
    const QStringList name = ours.subjectInfo(QSslCertificate::CommonName);
    return failed(Result::Failed,
                  reason + QStringLiteral(" after the TLS handshake (a receiver that stopped, or "
                                          "one that may have refused our certificate "
                                          "\"CN=%1\": see its log)")
                               .arg(name.join(QLatin1Char(','))),
                  error);
}

ForwardSender::Result SyslogSender::connectTo(qint64 deadline, QString *error)
{
    m_socket = std::make_unique<QSslSocket>();
    QSslSocket &socket = *m_socket;
    m_sslErrors.clear();
    m_answer.clear();
    QObject::connect(&socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                     &socket, [this](const QList<QSslError> &errors) { m_sslErrors += errors; });
    QObject::connect(&socket, &QSslSocket::readyRead, &socket, [this, &socket] {
        m_answer = (m_answer + socket.readAll()).left(kAnswerQuoted);
    });
    const auto broken = [&] { return socket.state() == QAbstractSocket::UnconnectedState; };
    if (m_tls) {
        socket.setSslConfiguration(*m_tls);
        socket.connectToHostEncrypted(m_host, m_port);
    } else {
        socket.connectToHost(m_host, m_port);
    }
    const auto ready = [&] {
        return broken() ||
               (m_tls ? socket.isEncrypted() : socket.state() == QAbstractSocket::ConnectedState);
    };
    if (waitFor(ready, qMin(deadline, m_clock.elapsed() + kConnectTimeoutMs)) && !broken())
        return Result::Delivered;
    const bool handshake =
        m_tls && (socket.error() == QAbstractSocket::SslHandshakeFailedError ||
                  socket.error() == QAbstractSocket::SslInternalError || !m_sslErrors.isEmpty());
    if (handshake)
        return failed(Result::Refused,
                      describeHandshakeFailure(m_sslErrors, socket.errorString(), *m_tls), error);
    if (!broken())
        return failed(Result::Failed, QStringLiteral("no connection"), error);
    return failed(Result::Failed,
                  socket.error() == QAbstractSocket::UnknownSocketError
                      ? QStringLiteral("cannot connect")
                      : socket.errorString(),
                  error);
}

ForwardSender::Result SyslogSender::finish(int timeoutMs, QString *error)
{
    const qint64 deadline = m_clock.elapsed() + timeoutMs;
    const Result connected = connectTo(deadline, error);
    if (connected != Result::Delivered)
        return connected;
    QSslSocket &socket = *m_socket;
    const auto broken = [&] { return socket.state() == QAbstractSocket::UnconnectedState; };
    socket.write(m_batch->data(), static_cast<qint64>(m_batch->size()));
    const auto written = [&] {
        return broken() || !m_answer.isEmpty() ||
               (socket.bytesToWrite() == 0 && socket.encryptedBytesToWrite() == 0);
    };
    if (!waitFor(written, qMin(deadline, m_clock.elapsed() + kStalledMs)))
        return failed(Result::Failed, QStringLiteral("the server takes nothing in"), error);
    if (!m_answer.isEmpty())
        return failed(Result::Refused,
                      QStringLiteral("the server wrote \"%1\", which a syslog server does not "
                                     "(is it another kind of server? journal-remote is http://)")
                          .arg(QString::fromUtf8(m_answer).simplified()),
                      error);
    if (broken())
        return failed(
            Result::Failed,
            QStringLiteral("the server closed the connection (%1)").arg(socket.errorString()),
            error);
    return closeAndConfirm(deadline, error);
}

// Our close, then the server's: its clean close (end of stream, not a reset) with every byte
// acknowledged means that it has read every byte we wrote (a server that closes with bytes
// unread resets the connection; one that has closed already resets it when they arrive).
// Looked for on a descriptor of our own, where a reset differs from the end of the stream and
// no read of the toolkit's can take the reset away first.
ForwardSender::Result SyslogSender::closeAndConfirm(qint64 deadline, QString *error)
{
    deadline = qMin(deadline, m_clock.elapsed() + kStalledMs);
    QSslSocket &socket = *m_socket;
    SystemLog::OwnedFd own;
    own.fd = ::dup(static_cast<int>(socket.socketDescriptor()));
    if (own.fd < 0)
        return failed(Result::Failed, systemError(), error);
    if (m_tls) {
        // TLS's close_notify first; the toolkit's close of its descriptor then leaves the
        // connection to ours.
        socket.disconnectFromHost();
        waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, deadline);
    }
    socket.abort();
    m_socket.reset();
    // (Fails when the server has reset the connection already.)
    if (::shutdown(own.fd, SHUT_WR) != 0)
        return closedEarly(QStringLiteral("the connection broke (%1)").arg(systemError()), error);
    char sink[4096];
    while (m_clock.elapsed() < deadline) {
        if (m_stop())
            return failed(Result::Failed, QStringLiteral("stopped"), error);
        pollfd readable = {own.fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, kPollMs);
        if (ready < 0 && errno != EINTR)
            return failed(Result::Failed, systemError(), error);
        if (ready <= 0)
            continue;
        const ssize_t got = ::recv(own.fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0) {
            // A server that closed before our bytes reached it answers them with a reset, not
            // an acknowledgement: they count only when every one was acknowledged.
            int unacknowledged = 0;
            if (::ioctl(own.fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged > 0)
                return closedEarly(QStringLiteral("the server closed the connection before it "
                                                  "had read the batch"),
                                   error);
            return Result::Delivered;
        }
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return closedEarly(QStringLiteral("the connection broke (%1)").arg(systemError()),
                               error);
    }
    return failed(Result::Failed,
                  QStringLiteral("the server did not close the connection after the batch"), error);
}

} // namespace TallyLog
