#pragma once

#include "forward/ForwardSender.h"
#include "forward/HttpAnswer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>
#include <QUrl>

#include <memory>
#include <optional>

class QSslSocket;
class QTcpSocket;

namespace TallyLog {

// POST /upload with Content-Type application/vnd.fdo.journal; delivered on a 2xx answer. A
// small HTTP/1.1 client of its own on one socket in the calling thread, kept open from batch to
// batch: the request goes to the socket in one piece and out as fast as the receiver takes it
// in, while the caller reads the next batch. A receiver that has never answered in HTTP and
// closes the connection, answers in another protocol, or leaves a request unanswered for 8 s,
// is taken for a server of another protocol (a syslog port, say) and refused.
class JournalRemoteSender : public ForwardSender
{
public:
    // `tls`: for https (nullopt: plain http).
    JournalRemoteSender(const QUrl &upload, std::optional<QSslConfiguration> tls,
                        StopRequested stop);
    ~JournalRemoteSender() override;
    void begin(const std::string &batch) override;
    void keepSending() override;
    Result finish(int timeoutMs, QString *error) override;

private:
    void connectSocket();
    void sendRequest();
    void writeBody(); // the next pieces of the body, as far as the socket takes them now
    bool connected() const;
    bool uploaded() const;
    Result awaitAnswer(qint64 deadline, QString *error);
    Result answer(QString *error);
    Result broken(QString *error);
    Result failed(Result result, const QString &reason, QString *error);
    void dropConnection();
    void flushSocket();            // writes what the system takes now
    QSslSocket *tlsSocket() const; // m_socket when it is one (https)
    bool unansweredTooLong() const;

    QUrl m_upload;
    QByteArray m_head; // the request line and headers, without Content-Length
    std::optional<QSslConfiguration> m_tls;
    StopRequested m_stop;
    // A plain socket for http, which spares loading the TLS library.
    std::unique_ptr<QTcpSocket> m_socket;
    const std::string *m_batch = nullptr;
    HttpAnswer m_answer;
    QList<QSslError> m_sslErrors;
    bool m_requestSent = false; // the request of m_batch is begun: its head is in the socket
    qint64 m_bodySent = 0;      // bytes of the batch handed to the socket
    bool m_writingBody = false;
    bool m_reused = false;           // the connection carried an earlier request
    bool m_everAnswered = false;     // the receiver has answered in HTTP at least once
    bool m_closedUnanswered = false; // the connection ended before any byte of an answer
    int m_timeoutMs = 0;             // of the finish() under way
    qint64 m_connectedAt = -1;       // when m_socket began to connect (m_clock)
    qint64 m_uploadedAt = -1;        // when the request was all written, -1: not yet
    qint64 m_progressAt = 0;         // when a byte last went out or came in
    QElapsedTimer m_clock;
};

} // namespace TallyLog
