#pragma once

// Where `tallylog forward` delivers its batches: systemd-journal-remote over HTTP(S), or a
// syslog server over TCP. A batch counts as delivered only when the receiver has confirmed it:
// journal-remote by answering 2xx, a syslog server (TCP has no acknowledgement) by closing its
// side of the connection after it has read everything up to our own close.

#include "forward/ForwardAddress.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <string>

class QNetworkAccessManager;
class QTcpSocket;

namespace TallyLog {

class RecordEncoder;
struct ForwardIdentity;

// True once the program is asked to stop (SIGINT, SIGTERM).
using StopRequested = std::function<bool()>;

class ForwardSender
{
public:
    enum class Result
    {
        Delivered, // the receiver has every record of the batch
        Failed,    // it may have none, some or all of them: send them again
        Refused,   // as Failed, for a reason that trying again does not mend (a 4xx answer,
                   // a certificate refused, a receiver that does not speak the protocol)
        Stopped,   // asked to stop while sending; as Failed, but not to be retried
    };

    virtual ~ForwardSender() = default;
    // Gives up (Failed) when the receiver has not confirmed the batch within timeoutMs.
    virtual Result deliver(const std::string &batch, int timeoutMs, QString *error) = 0;
};

// A receiver named by --to: its sender and the encoder of its records.
struct ForwardTarget
{
    std::unique_ptr<RecordEncoder> encoder;
    std::unique_ptr<ForwardSender> sender;
};

// The sender and encoder for a receiver.
ForwardTarget makeForwardTarget(const ForwardAddress &address, const ForwardIdentity &identity,
                                const StopRequested &stop);

// POST /upload with Content-Type application/vnd.fdo.journal; delivered on a 2xx answer.
class JournalRemoteSender : public ForwardSender
{
public:
    JournalRemoteSender(const QUrl &upload, StopRequested stop);
    ~JournalRemoteSender() override;
    Result deliver(const std::string &batch, int timeoutMs, QString *error) override;

private:
    QUrl m_upload;
    StopRequested m_stop;
    std::unique_ptr<QNetworkAccessManager> m_network;
};

// Each batch on a connection of its own: connect, write, close our side, and wait for the
// server to close its side, which it does once it has read everything we wrote. A connection
// that breaks first (or a server that closes it early) leaves the batch to be sent again.
class SyslogTcpSender : public ForwardSender
{
public:
    SyslogTcpSender(QString host, quint16 port, StopRequested stop);
    ~SyslogTcpSender() override;
    Result deliver(const std::string &batch, int timeoutMs, QString *error) override;

private:
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

    QString m_host;
    quint16 m_port;
    StopRequested m_stop;
    std::unique_ptr<QTcpSocket> m_socket;
};

} // namespace TallyLog
