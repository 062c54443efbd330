#include "forward/ForwardSender.h"

#include "forward/ForwardEncoding.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <limits>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace TallyLog {

namespace {

// Waits are broken up into ticks of this length to look at the stop request.
constexpr int kTickMs = 20;
constexpr int kConnectTimeoutMs = 10000;
// A receiver that takes in nothing for this long is taken for gone.
constexpr int kTransferTimeoutMs = 60000;

// Runs the event loop until done() holds, the program is asked to stop or the time is up;
// returns done().
bool runEventsUntil(const std::function<bool()> &done, const StopRequested &stop, int timeoutMs)
{
    QTimer tick;
    tick.start(kTickMs);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (stop() || clock.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

ForwardTarget makeForwardTarget(const ForwardAddress &address, const ForwardIdentity &identity,
                                const StopRequested &stop)
{
    ForwardTarget target;
    if (address.kind == ForwardAddress::Kind::JournalRemote) {
        target.encoder = std::make_unique<JournalExportEncoder>(identity);
        target.sender = std::make_unique<JournalRemoteSender>(address.upload, stop);
    } else {
        target.encoder = std::make_unique<SyslogEncoder>(identity);
        target.sender = std::make_unique<SyslogTcpSender>(address.host, address.port, stop);
    }
    return target;
}

JournalRemoteSender::JournalRemoteSender(const QUrl &upload, StopRequested stop)
    : m_upload(upload), m_stop(std::move(stop)),
      m_network(std::make_unique<QNetworkAccessManager>())
{
}

JournalRemoteSender::~JournalRemoteSender() = default;

ForwardSender::Result JournalRemoteSender::deliver(const std::string &batch, int timeoutMs,
                                                   QString *error)
{
    QNetworkRequest request(m_upload);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/vnd.fdo.journal"));
    request.setTransferTimeout(kTransferTimeoutMs);
    // The batch outlives the request: this waits for its answer.
    const QByteArray body = QByteArray::fromRawData(batch.data(), static_cast<int>(batch.size()));
    QNetworkReply *reply = m_network->post(request, body);
    const bool finished = runEventsUntil([&] { return reply->isFinished(); }, m_stop, timeoutMs);
    Result result = Result::Delivered;
    if (!finished) {
        reply->abort();
        *error = QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000);
        result = m_stop() ? Result::Stopped : Result::Failed;
    } else {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status < 200 || status > 299) {
            QString answer = QString::fromUtf8(reply->readAll()).simplified().left(200);
            *error = status > 0 ? QStringLiteral("HTTP %1 %2")
                                      .arg(status)
                                      .arg(answer.isEmpty() ? reply->errorString() : answer)
                                : reply->errorString();
            // A 4xx answer says that the request itself is wrong, except for a timeout of the
            // server's and a server that asks to slow down.
            const bool refused = status >= 400 && status <= 499 && status != 408 && status != 429;
            result = refused ? Result::Refused : Result::Failed;
        }
    }
    reply->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

SyslogTcpSender::SyslogTcpSender(QString host, quint16 port, StopRequested stop)
    : m_host(std::move(host)), m_port(port), m_stop(std::move(stop))
{
}

SyslogTcpSender::~SyslogTcpSender() = default;

bool SyslogTcpSender::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    return runEventsUntil(done, m_stop, timeoutMs);
}

ForwardSender::Result SyslogTcpSender::deliver(const std::string &batch, int timeoutMs,
                                               QString *error)
{
    m_socket = std::make_unique<QTcpSocket>();
    QTcpSocket &socket = *m_socket;
    const auto broken = [&] { return socket.state() == QAbstractSocket::UnconnectedState; };
    const auto failed = [&](const QString &reason) {
        *error = reason;
        m_socket.reset();
        return m_stop() ? Result::Stopped : Result::Failed;
    };
    socket.connectToHost(m_host, m_port);
    if (!waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState || broken(); },
                 qMin(timeoutMs, kConnectTimeoutMs)) ||
        broken())
        return failed(socket.error() == QAbstractSocket::UnknownSocketError
                          ? QStringLiteral("cannot connect")
                          : socket.errorString());

    // The server never writes; anything it does would be read and dropped here. A close of its
    // side before ours is seen on this read too, and the batch counts as not received.
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&socket] { socket.readAll(); });
    socket.write(batch.data(), static_cast<qint64>(batch.size()));
    if (!waitFor([&] { return socket.bytesToWrite() == 0 || broken(); }, timeoutMs) || broken())
        return failed(
            socket.state() == QAbstractSocket::UnconnectedState
                ? QStringLiteral("the server closed the connection (%1)").arg(socket.errorString())
                : QStringLiteral("the server takes nothing in"));

    // Our close, then the server's: its clean close (end of stream, not a reset) with every byte
    // acknowledged means that it has read every byte we wrote (a server that closes with bytes
    // unread resets the connection; one that has closed already resets it when they arrive).
    // Looked for on the descriptor itself, where a reset differs from the end of the stream.
    const int fd = static_cast<int>(socket.socketDescriptor());
    socket.setReadBufferSize(0);
    QObject::disconnect(&socket, &QTcpSocket::readyRead, nullptr, nullptr);
    if (::shutdown(fd, SHUT_WR) != 0)
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    QElapsedTimer clock;
    clock.start();
    char sink[4096];
    while (clock.elapsed() < timeoutMs) {
        if (m_stop())
            return failed(QStringLiteral("stopped"));
        pollfd readable = {fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, kTickMs * 5);
        if (ready < 0 && errno != EINTR)
            return failed(QString::fromLocal8Bit(std::strerror(errno)));
        if (ready <= 0)
            continue;
        const ssize_t got = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0) {
            // A server that closed before our bytes reached it answers them with a reset, not
            // an acknowledgement: they count only when every one was acknowledged.
            int unacknowledged = 0;
            if (::ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged > 0)
                return failed(QStringLiteral("the server closed the connection before it had "
                                             "read the batch"));
            m_socket->abort();
            m_socket.reset();
            return Result::Delivered;
        }
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return failed(QStringLiteral("the connection broke (%1)")
                              .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    return failed(QStringLiteral("the server did not close the connection after the batch"));
}

} // namespace TallyLog
