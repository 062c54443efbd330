#pragma once

// Real receivers of `tallylog forward`, run by the tests on 127.0.0.1 with a free port:
// systemd-journal-remote writing a journal file (read back with journalctl) and rsyslogd with
// an imtcp input writing each message as one line of a file.

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
    // `dir` holds what the receiver writes; the port is chosen at the first start and kept.
    Receiver(Kind kind, const QString &dir);
    ~Receiver();

    // Starts it and waits until it takes connections. Each journal-remote run writes a journal
    // file of its own (a killed one leaves its file as it was).
    bool start();
    void kill(); // SIGKILL
    bool stop(); // SIGTERM, and waits for the end
    QString url() const;

    // What journal-remote wrote in all its runs, in order (journalctl -o json --all).
    QVector<JournalEntry> journalEntries() const;
    // The lines rsyslog wrote: severity|app-name|hostname|timestamp|structured data|message.
    QStringList syslogLines() const;

private:
    Kind m_kind;
    QString m_dir;
    quint16 m_port = 0;
    int m_runs = 0;
    QProcess m_process;
};

} // namespace ReceiverSupport
