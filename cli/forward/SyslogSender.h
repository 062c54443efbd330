#pragma once

#include "forward/ForwardSender.h"

#include <QElapsedTimer>
#include <QList>
#include <QSslConfiguration>
#include <QSslError>

#include <memory>
#include <optional>

class QSslSocket;

namespace TallyLog {

// Each batch on a connection of its own (TCP, or TLS as RFC 5425 has it): connect, write, close
// our side (after TLS's close_notify), and wait for the server to close its side, which it
// does once it has read everything we wrote. A connection that breaks first, or a server that
// closes it early, leaves the batch to be sent again; a server that writes to us (syslog
// servers never do) speaks another protocol and is refused.
class SyslogSender : public ForwardSender
{
public:
    // `tls`: for syslog+tls (nullopt: plain TCP).
    SyslogSender(QString host, quint16 port, std::optional<QSslConfiguration> tls,
                 StopRequested stop);
    ~SyslogSender() override;
    void begin(const std::string &batch) override;
    Result finish(int timeoutMs, QString *error) override;

private:
    bool waitFor(const std::function<bool()> &done, qint64 deadline) const;
    Result connectTo(qint64 deadline, QString *error);
    Result closeAndConfirm(qint64 deadline, QString *error);
    Result failed(Result result, const QString &reason, QString *error);
    Result closedEarly(const QString &reason, QString *error);

    QString m_host;
    quint16 m_port;
    std::optional<QSslConfiguration> m_tls;
    StopRequested m_stop;
    const std::string *m_batch = nullptr;
    std::unique_ptr<QSslSocket> m_socket;
    QList<QSslError> m_sslErrors;
    QByteArray m_answer; // what the server wrote
    QElapsedTimer m_clock;
};

} // namespace TallyLog
