#pragma once

#include "forward/ForwardSender.h"

#include <QElapsedTimer>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace TallyLog {

// POST /upload with Content-Type application/vnd.fdo.journal; delivered on a 2xx answer. The
// connection is kept open from batch to batch. A receiver that has never answered in HTTP and
// closes the connection, or leaves a request unanswered for 8 s, is taken for a server of
// another protocol (a syslog port, say) and refused.
class JournalRemoteSender : public ForwardSender
{
public:
    // `tls`: for https (nullopt: plain http).
    JournalRemoteSender(const QUrl &upload, std::optional<QSslConfiguration> tls,
                        StopRequested stop);
    ~JournalRemoteSender() override;
    void begin(const std::string &batch) override;
    Result finish(int timeoutMs, QString *error) override;

private:
    Result answer(QString *error);
    bool unansweredTooLong() const;

    QUrl m_upload;
    std::optional<QSslConfiguration> m_tls;
    StopRequested m_stop;
    std::unique_ptr<QNetworkAccessManager> m_network;
    QNetworkReply *m_reply = nullptr;
    QList<QSslError> m_sslErrors;
    bool m_everAnswered = false; // the receiver has answered in HTTP at least once
    bool m_headersIn = false;    // the answer to m_reply has begun
    qint64 m_uploadedAt = -1;    // when m_reply's body was sent (m_clock), -1: not yet
    QElapsedTimer m_clock;
};

} // namespace TallyLog
