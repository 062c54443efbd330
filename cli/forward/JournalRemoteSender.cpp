#include "forward/JournalRemoteSender.h"

#include "forward/ForwardTls.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace TallyLog {

namespace {

// A receiver that has never answered in HTTP gets this long to begin its first answer once it
// has the request; a journal-remote answers a batch in a fraction of that.
constexpr qint64 kFirstAnswerMs = 8000;
// A receiver that takes in nothing and answers nothing for this long is taken for gone.
constexpr int kStalledMs = 60000;

} // namespace

JournalRemoteSender::JournalRemoteSender(const QUrl &upload, std::optional<QSslConfiguration> tls,
                                         StopRequested stop)
    : m_upload(upload), m_tls(std::move(tls)), m_stop(std::move(stop)),
      m_network(std::make_unique<QNetworkAccessManager>())
{
    m_clock.start();
    QObject::connect(
        m_network.get(), &QNetworkAccessManager::sslErrors, m_network.get(),
        [this](QNetworkReply *, const QList<QSslError> &errors) { m_sslErrors += errors; });
}

JournalRemoteSender::~JournalRemoteSender()
{
    if (m_reply) {
        if (m_reply->error() == QNetworkReply::NoError)
            m_reply->abort();
        delete m_reply;
    }
}

void JournalRemoteSender::begin(const std::string &batch)
{
    QNetworkRequest request(m_upload);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/vnd.fdo.journal"));
    request.setTransferTimeout(kStalledMs);
    if (m_tls)
        request.setSslConfiguration(*m_tls);
    m_sslErrors.clear();
    m_headersIn = false;
    m_uploadedAt = -1;
    // The batch outlives the request: finish() waits for its answer.
    const QByteArray body = QByteArray::fromRawData(batch.data(), static_cast<int>(batch.size()));
    m_reply = m_network->post(request, body);
    QObject::connect(m_reply, &QNetworkReply::metaDataChanged, m_reply,
                     [this] { m_headersIn = true; });
    QObject::connect(m_reply, &QNetworkReply::uploadProgress, m_reply,
                     [this](qint64 sent, qint64 total) {
                         if (sent == total && m_uploadedAt < 0)
                             m_uploadedAt = m_clock.elapsed();
                     });
    // The request is started from the event loop: it goes out now, while the caller reads on.
    QCoreApplication::processEvents();
}

bool JournalRemoteSender::unansweredTooLong() const
{
    return !m_everAnswered && !m_headersIn && m_uploadedAt >= 0 &&
           m_clock.elapsed() - m_uploadedAt >= kFirstAnswerMs;
}

ForwardSender::Result JournalRemoteSender::finish(int timeoutMs, QString *error)
{
    const bool finished = runEventsUntil(
        [&] { return m_reply->isFinished() || unansweredTooLong(); }, m_stop, timeoutMs);
    Result result = Result::Failed;
    if (finished && m_reply->isFinished()) {
        result = answer(error);
    } else {
        // Aborted without a word: the reply's own message would be "Operation canceled".
        const bool notHttp = finished;
        m_reply->blockSignals(true);
        // A reply that has met its error already (its finished signal still on its way) is
        // over; aborting it would set a second error, which the toolkit warns about.
        if (m_reply->error() == QNetworkReply::NoError)
            m_reply->abort();
        *error = notHttp ? QStringLiteral("no HTTP answer within %1 s (is this a journal-remote? "
                                          "a syslog server is syslog+tcp:// or syslog+tls://)")
                               .arg(kFirstAnswerMs / 1000)
                         : QStringLiteral("no answer within %1 s").arg((timeoutMs + 999) / 1000);
        result = notHttp ? Result::Refused : m_stop() ? Result::Stopped : Result::Failed;
    }
    delete m_reply;
    m_reply = nullptr;
    return result;
}

ForwardSender::Result JournalRemoteSender::answer(QString *error)
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError failure = m_reply->error();
    if (status > 0)
        m_everAnswered = true;
    if (failure == QNetworkReply::NoError && status >= 200 && status <= 299)
        return Result::Delivered;
    if (status > 0) {
        const QString answer = QString::fromUtf8(m_reply->readAll()).simplified().left(200);
        *error = QStringLiteral("HTTP %1 %2")
                     .arg(status)
                     .arg(answer.isEmpty() ? m_reply->errorString() : answer);
        // A 4xx answer says that the request itself is wrong, except for a timeout of the
        // server's and a server that asks to slow down.
        const bool refused = status >= 400 && status <= 499 && status != 408 && status != 429;
        return refused ? Result::Refused : Result::Failed;
    }
    if (failure == QNetworkReply::SslHandshakeFailedError) {
        *error = describeHandshakeFailure(m_sslErrors, m_reply->errorString(),
                                          m_tls ? *m_tls : QSslConfiguration());
        return Result::Refused;
    }
    *error = m_reply->errorString();
    const bool closedUnanswered = failure == QNetworkReply::RemoteHostClosedError ||
                                  failure == QNetworkReply::ProtocolFailure;
    if (!m_everAnswered && closedUnanswered) {
        *error += QStringLiteral(" without an HTTP answer (is this a journal-remote? a syslog "
                                 "server is syslog+tcp:// or syslog+tls://)");
        return Result::Refused;
    }
    return Result::Failed;
}

} // namespace TallyLog
