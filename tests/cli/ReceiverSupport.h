#pragma once

// Real receivers of `tallylog forward`, run by the tests on 127.0.0.1 with a free port:
// systemd-journal-remote writing a journal file (read back with journalctl) and rsyslogd with
// an imtcp input writing each message as one line of a file; either over TLS with certificates
// that the tests make with openssl (makeCertificates).

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

namespace ReceiverSupport {

// A journal entry: field name -> value bytes.
using JournalEntry = QHash<QString, QByteArray>;

class Receiver
{
public:
    enum class Kind
    {
        JournalRemote,
        Rsyslog,
    };
    // Makes in `dir` the certificates of tests/cli/make-test-certificates.sh: NAME.pem and
    // NAME.key for ca, server (127.0.0.1), client, expired, other (other.example), self (signed
    // by none) and stranger-ca.pem.
    static bool makeCertificates(const QString &dir);
    // `dir` holds what the receiver writes; the port is chosen at the first start and kept.
    Receiver(Kind kind, const QString &dir);
    ~Receiver();

    // Starts it and waits until it takes connections. Each journal-remote run writes a journal
    // file of its own (a killed one leaves its file as it was).
    bool start();
    // From the next start on over TLS, with the certificate NAME.pem of `certificates` and the
    // CA there: journal-remote over HTTPS (Debian's cannot ask for client certificates: its
    // --trust is not built in), rsyslog with gtls, requiring a client certificate of that CA.
    void useTls(const QString &certificates, const QString &name);
    void kill(); // SIGKILL
    bool stop(); // SIGTERM, and waits for the end
    QString url() const;

    // What journal-remote wrote in all its runs, in order (journalctl -o json --all).
    QVector<JournalEntry> journalEntries() const;
    // The records rsyslog wrote: severity|app-name|hostname|timestamp|structured data|message,
    // as bytes and as text.
    QList<QByteArray> syslogRecords() const;
    QStringList syslogLines() const;

private:
    Kind m_kind;
    QString m_dir;
    quint16 m_port = 0;
    int m_runs = 0;
    QString m_certificates; // empty: no TLS
    QString m_certificate;
    QProcess m_process;
};

} // namespace ReceiverSupport
