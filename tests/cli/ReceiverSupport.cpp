#include "ReceiverSupport.h"

#include "TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

namespace ReceiverSupport {

namespace {

const char kJournalRemote[] = "/lib/systemd/systemd-journal-remote";

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

// The configuration the README ships, writing each message as it came (control characters and
// a line feed at its end too) as one record of a file, ended by an RS character and a newline:
// frames up to rsyslog's largest (200,000,000 bytes), the byte order mark before a message
// taken off.
const char kRsyslogConf[] = R"(global(workDirectory="%1" maxMessageSize="200m"
       parser.escapeControlCharactersOnReceive="off" parser.dropTrailingLFOnReception="off")
module(load="imtcp" maxFrameSize="200000000")
template(name="line" type="string" string="%syslogseverity%|%app-name%|%hostname%|%timereported:::date-rfc3339%|%structured-data%|%$.msg%%4\n")
input(type="imtcp" address="127.0.0.1" port="%2" ruleset="toFile"%3)
ruleset(name="toFile") {
    if substring($msg, 0, 3) == "\xEF\xBB\xBF" then {
        set $.msg = substring($msg, 3, 200000000);
    } else {
        set $.msg = $msg;
    }
    action(type="omfile" file="%1/syslog.txt" template="line")
}
)";

const char kRecordEnd[] = "\x1e\n";

// Over TLS: the CA and the server's certificate and key, a client certificate required.
const char kRsyslogTls[] = R"( streamDriver.name="gtls" streamDriver.mode="1"
      streamDriver.authMode="x509/certvalid" streamDriver.CAFile="%1/ca.pem"
      streamDriver.CertFile="%1/%2.pem" streamDriver.KeyFile="%1/%2.key")";

} // namespace

bool Receiver::makeCertificates(const QString &dir)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    script.start(QStringLiteral("bash"), {QStringLiteral(TEST_CERTIFICATES_SCRIPT), dir});
    return script.waitForFinished(TestFiles::kHangGuardMs) &&
           script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}

void Receiver::useTls(const QString &certificates, const QString &name)
{
    m_certificates = certificates;
    m_certificate = name;
}

Receiver::Receiver(Kind kind, const QString &dir) : m_kind(kind), m_dir(dir)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QDir(dir).filePath(QStringLiteral("receiver.out")),
                                    QIODevice::Append);
}

Receiver::~Receiver()
{
    stop();
}

bool Receiver::start()
{
    if (m_port == 0)
        m_port = freePort();
    ++m_runs;
    if (m_kind == Kind::JournalRemote) {
        QStringList arguments{QStringLiteral("--output=%1/run%2.journal").arg(m_dir).arg(m_runs),
                              QStringLiteral("--split-mode=none")};
        if (m_certificates.isEmpty()) {
            arguments << QStringLiteral("--listen-http=127.0.0.1:%1").arg(m_port);
        } else {
            const QString files = QDir(m_certificates).filePath(m_certificate);
            arguments << QStringLiteral("--listen-https=127.0.0.1:%1").arg(m_port)
                      << QStringLiteral("--cert=%1.pem").arg(files)
                      << QStringLiteral("--key=%1.key").arg(files);
        }
        m_process.start(QLatin1String(kJournalRemote), arguments);
    } else {
        const QString conf = QDir(m_dir).filePath(QStringLiteral("rsyslog.conf"));
        const QString tls =
            m_certificates.isEmpty()
                ? QString()
                : QString::fromLatin1(kRsyslogTls).arg(m_certificates, m_certificate);
        TestFiles::writeFile(conf, QString::fromLatin1(kRsyslogConf)
                                       .arg(m_dir)
                                       .arg(m_port)
                                       .arg(tls, QString(QChar(0x1e)))
                                       .toUtf8());
        m_process.start(QStringLiteral("rsyslogd"),
                        {QStringLiteral("-n"), QStringLiteral("-f"), conf, QStringLiteral("-i"),
                         QDir(m_dir).filePath(QStringLiteral("rsyslog.pid"))});
    }
    if (!m_process.waitForStarted())
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < TestFiles::kHangGuardMs && m_process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(20);
    }
    return false;
}

void Receiver::kill()
{
    m_process.kill();
    m_process.waitForFinished(TestFiles::kHangGuardMs);
}

bool Receiver::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    return m_process.waitForFinished(TestFiles::kHangGuardMs);
}

QString Receiver::url() const
{
    const bool tls = !m_certificates.isEmpty();
    const char *scheme = m_kind == Kind::JournalRemote ? (tls ? "https" : "http")
                                                       : (tls ? "syslog+tls" : "syslog+tcp");
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(m_port);
}

QVector<JournalEntry> Receiver::journalEntries() const
{
    // File by file (journalctl takes entries of different files for one another), also the
    // files it rotated away ("run1@….journal"), oldest first.
    QVector<JournalEntry> entries;
    const QStringList files = QDir(m_dir).entryList({QStringLiteral("run*.journal")}, QDir::Files,
                                                    QDir::Time | QDir::Reversed);
    for (const QString &file : files) {
        QProcess journalctl;
        journalctl.start(QStringLiteral("journalctl"),
                         {QStringLiteral("-o"), QStringLiteral("json"), QStringLiteral("--all"),
                          QStringLiteral("--file"), QDir(m_dir).filePath(file)});
        journalctl.waitForFinished(TestFiles::kHangGuardMs);
        for (const QByteArray &line : journalctl.readAllStandardOutput().split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.isEmpty())
                continue;
            JournalEntry entry;
            // Values that are not printable UTF-8 come as arrays of byte values.
            for (auto field = object.begin(); field != object.end(); ++field) {
                QByteArray value = field.value().toString().toUtf8();
                if (field.value().isArray()) {
                    for (const QJsonValue byte : field.value().toArray())
                        value += static_cast<char>(byte.toInt());
                }
                entry.insert(field.key(), value);
            }
            entries << entry;
        }
    }
    return entries;
}

QList<QByteArray> Receiver::syslogRecords() const
{
    QList<QByteArray> records;
    QByteArray text = TestFiles::readFile(QDir(m_dir).filePath(QStringLiteral("syslog.txt")));
    for (int end; (end = text.indexOf(kRecordEnd)) >= 0; text.remove(0, end + 2))
        records << text.left(end);
    return records;
}

QStringList Receiver::syslogLines() const
{
    QStringList lines;
    for (const QByteArray &record : syslogRecords())
        lines << QString::fromUtf8(record);
    return lines;
}

} // namespace ReceiverSupport
