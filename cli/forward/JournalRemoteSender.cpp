#include "forward/JournalRemoteSender.h"

#include "forward/ForwardTls.h"

#include <QCoreApplication>
#include <QSslSocket>
#include <QTcpSocket>

#include <climits>

namespace TallyLog {

namespace {

// A receiver that has never answered in HTTP gets this long to begin its first answer once it
// has the request; a journal-remote answers a batch in a fraction of that.
constexpr qint64 kFirstAnswerMs = 8000;
// A receiver that takes in nothing and answers nothing for this long is taken for gone.
constexpr qint64 kStalledMs = 60000;
// A connection (with its TLS handshake) that is not up after this long is given up.
constexpr qint64 kConnectMs = 10000;
// Read from the socket at most this much at a time.
constexpr qint64 kReadBytes = 64 << 10;
// The body goes to the socket this much at a time, the next piece when the socket has written
// the last: what the system does not take at once waits in the socket's buffer, never the
// whole batch a second time.
constexpr qint64 kBodyPiece = 256 << 10;

const QString &notJournalRemote()
{
    static const QString hint = QStringLiteral("(is this a journal-remote? a syslog server is "
                                               "syslog+tcp:// or syslog+tls://)");
    return hint;
}

} // namespace

JournalRemoteSender::JournalRemoteSender(const QUrl &upload, std::optional<QSslConfiguration> tls,
                                         StopRequested stop)
    : m_upload(upload), m_tls(std::move(tls)), m_stop(std::move(stop))
{
    QUrl authority = upload;
    authority.setUserInfo(QString());
    QByteArray target = upload.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (upload.hasQuery())
        target += '?' + upload.query(QUrl::FullyEncoded).toLatin1();
    m_head = "POST " + target +
             " HTTP/1.1\r\nHost: " + authority.authority(QUrl::FullyEncoded).toLatin1() +
             "\r\nContent-Type: application/vnd.fdo.journal\r\nAccept: */*\r\n"
             "User-Agent: tallylog\r\n";
    m_clock.start();
}

JournalRemoteSender::~JournalRemoteSender()
{
    dropConnection();
}

void JournalRemoteSender::dropConnection()
{
    if (!m_socket)
        return;
    m_socket->disconnect();
    // (QSslSocket's abort and flush hide, not override, those of the plain socket.)
    if (m_tls)
        tlsSocket()->abort();
    else
        m_socket->abort();
    m_socket.reset();
}

QSslSocket *JournalRemoteSender::tlsSocket() const
{
    return m_tls ? static_cast<QSslSocket *>(m_socket.get()) : nullptr;
}

void JournalRemoteSender::flushSocket()
{
    if (m_tls)
        tlsSocket()->flush();
    else
        m_socket->flush();
}

bool JournalRemoteSender::connected() const
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return !m_tls || tlsSocket()->isEncrypted();
}

bool JournalRemoteSender::uploaded() const
{
    return m_requestSent && m_socket && m_bodySent == qint64(m_batch->size()) &&
           m_socket->bytesToWrite() == 0 && (!m_tls || tlsSocket()->encryptedBytesToWrite() == 0);
}

void JournalRemoteSender::connectSocket()
{
    dropConnection();
    m_reused = false;
    m_sslErrors.clear();
    m_connectedAt = m_clock.elapsed();
    const auto up = [this] {
        if (m_batch && !m_requestSent)
            sendRequest();
    };
    const auto progress = [this](qint64) {
        m_progressAt = m_clock.elapsed();
        writeBody();
    };
    if (m_tls) {
        auto tls = std::make_unique<QSslSocket>();
        QObject::connect(tls.get(), QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors),
                         tls.get(),
                         [this](const QList<QSslError> &errors) { m_sslErrors += errors; });
        QObject::connect(tls.get(), &QSslSocket::encrypted, tls.get(), up);
        QObject::connect(tls.get(), &QSslSocket::encryptedBytesWritten, tls.get(), progress);
        tls->setSslConfiguration(*m_tls);
        m_socket = std::move(tls);
    } else {
        m_socket = std::make_unique<QTcpSocket>();
        QObject::connect(m_socket.get(), &QTcpSocket::connected, m_socket.get(), up);
    }
    QTcpSocket &socket = *m_socket;
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this, &socket] {
        m_progressAt = m_clock.elapsed();
        char bytes[kReadBytes];
        qint64 got;
        while ((got = socket.read(bytes, sizeof bytes)) > 0)
            m_answer.feed(bytes, got);
    });
    QObject::connect(&socket, &QTcpSocket::bytesWritten, &socket, progress);
    const quint16 port = static_cast<quint16>(m_upload.port(m_tls ? 443 : 80));
    if (m_tls)
        tlsSocket()->connectToHostEncrypted(m_upload.host(), port);
    else
        // Unbuffered: a write goes to the system at once, and only what it does not take yet
        // is copied into the socket's buffer.
        socket.connectToHost(m_upload.host(), port, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void JournalRemoteSender::sendRequest()
{
    const std::string &batch = *m_batch;
    if (m_tls)
        tlsSocket()->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    else
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->write(m_head + "Content-Length: " + QByteArray::number(qint64(batch.size())) +
                    "\r\n\r\n");
    m_requestSent = true;
    m_bodySent = 0;
    m_progressAt = m_clock.elapsed();
    writeBody();
}

void JournalRemoteSender::writeBody()
{
    if (!m_requestSent || m_writingBody)
        return;
    m_writingBody = true; // (a socket may say bytesWritten from within write)
    const std::string &batch = *m_batch;
    const qint64 size = static_cast<qint64>(batch.size());
    // Piece after piece while the system takes them at once (the plain socket is unbuffered).
    while (m_bodySent < size && m_socket->bytesToWrite() == 0) {
        const qint64 piece = qMin(kBodyPiece, size - m_bodySent);
        const qint64 taken = m_socket->write(batch.data() + m_bodySent, piece);
        if (taken <= 0)
            break;
        m_bodySent += taken;
        flushSocket();
    }
    m_writingBody = false;
}

void JournalRemoteSender::begin(const std::string &batch)
{
    m_batch = &batch;
    m_answer.reset();
    m_requestSent = false;
    m_uploadedAt = -1;
    m_progressAt = m_clock.elapsed();
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState && connected()) {
        m_reused = true;
        sendRequest();
    } else {
        connectSocket();
    }
    // A connection to a near receiver is up at once: the request goes out before the caller
    // reads on.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void JournalRemoteSender::keepSending()
{
    // The socket's own events: a connection that has come up takes the request, one that
    // takes in more gets more.
    if (m_socket && !uploaded()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        if (m_socket)
            writeBody();
    }
}

bool JournalRemoteSender::unansweredTooLong() const
{
    return !m_everAnswered && !m_answer.begun() && m_uploadedAt >= 0 &&
           m_clock.elapsed() - m_uploadedAt >= kFirstAnswerMs;
}

ForwardSender::Result JournalRemoteSender::failed(Result result, const QString &reason,
                                                  QString *error)
{
    *error = reason;
    dropConnection();
    return m_stop() ? Result::Stopped : result;
}

ForwardSender::Result JournalRemoteSender::finish(int timeoutMs, QString *error)
{
    const qint64 deadline = m_clock.elapsed() + timeoutMs;
    m_timeoutMs = timeoutMs;
    for (;;) {
        const bool wasReused = m_reused;
        m_closedUnanswered = false;
        const Result result = awaitAnswer(deadline, error);
        // A kept connection that the receiver had closed meanwhile (an idle timeout) ends
        // before any answer: the request goes again, once, on a new one.
        const bool staleConnection = result == Result::Failed && wasReused && m_closedUnanswered &&
                                     !m_stop() && m_clock.elapsed() < deadline;
        if (!staleConnection)
            return result;
        m_answer.reset();
        m_requestSent = false;
        m_uploadedAt = -1;
        m_progressAt = m_clock.elapsed();
        connectSocket();
    }
}

ForwardSender::Result JournalRemoteSender::awaitAnswer(qint64 deadline, QString *error)
{
    const auto closed = [this] { return m_socket->state() == QAbstractSocket::UnconnectedState; };
    const auto connectTooLong = [this] {
        return !m_requestSent && m_clock.elapsed() - m_connectedAt >= kConnectMs;
    };
    const auto stalled = [this] { return m_clock.elapsed() - m_progressAt >= kStalledMs; };
    const auto done = [&] {
        if (m_uploadedAt < 0 && uploaded())
            m_uploadedAt = m_clock.elapsed();
        return m_answer.state() != HttpAnswer::State::Incomplete || closed() ||
               unansweredTooLong() || connectTooLong() || stalled();
    };
    const int waitMs = static_cast<int>(qBound<qint64>(0, deadline - m_clock.elapsed(), INT_MAX));
    if (!runEventsUntil(done, m_stop, waitMs))
        return failed(Result::Failed,
                      QStringLiteral("no answer within %1 s").arg((m_timeoutMs + 999) / 1000),
                      error);
    if (m_answer.state() == HttpAnswer::State::Incomplete && closed())
        m_answer.closed();
    switch (m_answer.state()) {
    case HttpAnswer::State::Complete:
        return answer(error);
    case HttpAnswer::State::Malformed:
        return failed(m_everAnswered ? Result::Failed : Result::Refused,
                      QStringLiteral("%1 %2").arg(m_answer.problem(), notJournalRemote()), error);
    case HttpAnswer::State::Incomplete:
        break;
    }
    if (closed())
        return broken(error);
    if (unansweredTooLong())
        return failed(Result::Refused,
                      QStringLiteral("no HTTP answer within %1 s %2")
                          .arg(kFirstAnswerMs / 1000)
                          .arg(notJournalRemote()),
                      error);
    if (connectTooLong())
        return failed(Result::Failed,
                      QStringLiteral("no connection within %1 s").arg(kConnectMs / 1000), error);
    return failed(Result::Failed,
                  QStringLiteral("the receiver took nothing in and answered nothing for %1 s")
                      .arg(kStalledMs / 1000),
                  error);
}

ForwardSender::Result JournalRemoteSender::broken(QString *error)
{
    QTcpSocket &socket = *m_socket;
    m_closedUnanswered = !m_answer.begun();
    const bool handshake =
        m_tls && !tlsSocket()->isEncrypted() &&
        (socket.error() == QAbstractSocket::SslHandshakeFailedError ||
         socket.error() == QAbstractSocket::SslInternalError || !m_sslErrors.isEmpty());
    if (handshake)
        return failed(Result::Refused,
                      describeHandshakeFailure(m_sslErrors, socket.errorString(), *m_tls), error);
    QString reason = socket.error() == QAbstractSocket::UnknownSocketError
                         ? QStringLiteral("the connection broke")
                         : socket.errorString();
    // A server that takes the request and closes without a word has never spoken HTTP.
    if (!m_everAnswered && m_requestSent &&
        socket.error() == QAbstractSocket::RemoteHostClosedError)
        return failed(Result::Refused,
                      reason + QStringLiteral(" without an HTTP answer ") + notJournalRemote(),
                      error);
    return failed(Result::Failed, reason, error);
}

ForwardSender::Result JournalRemoteSender::answer(QString *error)
{
    m_everAnswered = true;
    const int status = m_answer.status();
    // An answer that came before the whole request went out, or that leaves the connection in
    // doubt, ends the connection: the next request goes on a new one.
    const bool whole = uploaded();
    if (!m_answer.reusable() || !whole)
        dropConnection();
    // A receiver that confirms a batch it cannot have read to its end has not got it all.
    if (status >= 200 && status <= 299 && !whole) {
        *error = QStringLiteral("HTTP %1 before the whole batch was sent").arg(status);
        return Result::Failed;
    }
    if (status >= 200 && status <= 299)
        return Result::Delivered;
    const QString said = QString::fromUtf8(m_answer.body()).simplified().left(200);
    *error = QStringLiteral("HTTP %1 %2")
                 .arg(status)
                 .arg(said.isEmpty() ? QString::fromLatin1(m_answer.reason()) : said);
    // A 4xx answer says that the request itself is wrong, except for a timeout of the
    // server's and a server that asks to slow down.
    const bool refused = status >= 400 && status <= 499 && status != 408 && status != 429;
    return refused ? Result::Refused : Result::Failed;
}

} // namespace TallyLog
