// forward: delivers the records, oldest first, to systemd-journal-remote or a syslog server,
// remembering in a cursor file how far (see Forwarder).

#include "Command.h"
#include "Options.h"
#include "forward/ForwardAddress.h"
#include "forward/ForwardEncoding.h"
#include "forward/ForwardRun.h"
#include "forward/Forwarder.h"

#include <QSysInfo>

namespace TallyLog {

namespace {

class ForwardCommand : public Command
{
public:
    explicit ForwardCommand(ForwardRunner runForward)
        : Command(
              "forward",
              "--to URL [--cursor-file FILE] [--type T[,T...]] [--grep TEXT] "
              "[--from \"yyyy-MM-dd hh:mm:ss\"] [--identifier NAME] [--hostname NAME] "
              "[--trust FILE|all] [--key FILE --cert FILE] [--once [--timeout SECONDS]]",
              "Delivers the records, oldest first, to systemd-journal-remote (--to "
              "http://HOST[:PORT] or https://) or a syslog server (--to syslog+tcp://HOST[:PORT] "
              "or syslog+tls://), remembering in the cursor file how far; runs until "
              "interrupted, or with --once until everything there is has been delivered."),
          m_runForward(runForward)
    {
    }

    void addOptions(QCommandLineParser &parser) const override
    {
        parser.addOption(m_toOption);
        parser.addOption(m_cursorOption);
        m_selection.addTo(parser);
        parser.addOption(m_fromOption);
        parser.addOption(m_identifierOption);
        parser.addOption(m_hostnameOption);
        parser.addOption(m_trustOption);
        parser.addOption(m_keyOption);
        parser.addOption(m_certOption);
        parser.addOption(m_onceOption);
        parser.addOption(m_timeoutOption);
    }

    bool readOptions(const QCommandLineParser &parser, QString *problem) override
    {
        if (!m_selection.read(parser, &m_query, problem))
            return false;
        m_receiver = parser.value(m_toOption);
        if (m_receiver.isEmpty()) {
            *problem = QStringLiteral("forward needs --to");
            return false;
        }
        QDateTime now;
        if (!readClock(&now, problem) ||
            (parser.isSet(m_fromOption) &&
             !readMoment(now, parser.value(m_fromOption), &m_query.from, problem)) ||
            !readNonEmpty(parser, m_cursorOption, "a file", &m_cursorFile, problem))
            return false;
        m_identity.identifier = parser.value(m_identifierOption).toUtf8();
        m_identity.hostname = parser.isSet(m_hostnameOption)
                                  ? parser.value(m_hostnameOption).toUtf8()
                                  : QSysInfo::machineHostName().toUtf8();
        if (m_identity.identifier.isEmpty() || m_identity.hostname.isEmpty()) {
            *problem = QStringLiteral("--identifier and --hostname need a name");
            return false;
        }
        m_once = parser.isSet(m_onceOption);
        ForwardTlsFiles tls;
        if (!readOnce(parser, problem) ||
            !readNonEmpty(parser, m_trustOption, "a CA file or all", &tls.trust, problem) ||
            !readNonEmpty(parser, m_keyOption, "a key file", &tls.key, problem) ||
            !readNonEmpty(parser, m_certOption, "a certificate file", &tls.cert, problem))
            return false;
        return parseForwardAddress(m_receiver, tls, &m_address, problem);
    }

    int run(const QString &path) override
    {
        ForwardOptions options;
        options.dbPath = path;
        options.cursorPath = m_cursorFile;
        options.receiver = m_receiver;
        options.selection = m_query;
        options.once = m_once;
        options.timeoutMs = m_timeoutMs;
        return m_runForward(options, m_address, m_identity);
    }

private:
    bool readOnce(const QCommandLineParser &parser, QString *problem)
    {
        if (parser.isSet(m_timeoutOption)) {
            bool ok = false;
            const qint64 seconds = parser.value(m_timeoutOption).toLongLong(&ok);
            if (!m_once || !ok || seconds < 1 || seconds > kMaxTimeoutSeconds) {
                *problem = m_once ? QStringLiteral("bad --timeout '%1' (seconds, 1 to %2)")
                                        .arg(parser.value(m_timeoutOption))
                                        .arg(kMaxTimeoutSeconds)
                                  : QStringLiteral("--timeout goes with --once");
                return false;
            }
            m_timeoutMs = static_cast<int>(seconds * 1000);
        }
        // A run that starts at the end delivers nothing, and one that starts at the first
        // record sends the whole log again each time a cron job runs it.
        if (m_once && m_cursorFile.isEmpty() && m_query.from.isEmpty()) {
            *problem = QStringLiteral("forward --once needs --cursor-file (to go on where the "
                                      "last run stopped) or --from (where to start): from the "
                                      "end it would deliver nothing, from the first record each "
                                      "run would send the whole log again");
            return false;
        }
        return true;
    }

    static constexpr qint64 kMaxTimeoutSeconds = 24 * 3600;

    QCommandLineOption m_toOption{
        QStringLiteral("to"),
        QStringLiteral("The receiver: http://HOST[:PORT] or https://... (systemd-journal-remote, "
                       "port 19532), syslog+tcp://HOST[:PORT] (port 514) or syslog+tls://... "
                       "(port 6514)."),
        QStringLiteral("url")};
    QCommandLineOption m_trustOption{
        QStringLiteral("trust"),
        QStringLiteral("Over TLS: the certificate authorities (PEM) the receiver's certificate "
                       "must come from (default: the system's), or all: no check at all."),
        QStringLiteral("file|all")};
    QCommandLineOption m_keyOption{QStringLiteral("key"),
                                   QStringLiteral("Over TLS: the private key (PEM) of --cert."),
                                   QStringLiteral("file")};
    QCommandLineOption m_certOption{
        QStringLiteral("cert"),
        QStringLiteral("Over TLS: the certificate (PEM) shown to a receiver that asks for one."),
        QStringLiteral("file")};
    QCommandLineOption m_cursorOption{
        QStringLiteral("cursor-file"),
        QStringLiteral("Remembers the id of the last delivered record (default: none, start at "
                       "the end)."),
        QStringLiteral("file")};
    QCommandLineOption m_fromOption{QStringLiteral("from"),
                                    QStringLiteral("The records from this moment on (included), "
                                                   "in the forms of list's --from."),
                                    QStringLiteral("time")};
    QCommandLineOption m_identifierOption{
        QStringLiteral("identifier"),
        QStringLiteral("SYSLOG_IDENTIFIER / APP-NAME (default tallyview)."), QStringLiteral("name"),
        QStringLiteral("tallyview")};
    QCommandLineOption m_hostnameOption{
        QStringLiteral("hostname"), QStringLiteral("The host name sent (default: this machine's)."),
        QStringLiteral("name")};
    QCommandLineOption m_onceOption{
        QStringLiteral("once"),
        QStringLiteral("Deliver what is there, say how much, then exit (needs --cursor-file or "
                       "--from).")};
    QCommandLineOption m_timeoutOption{
        QStringLiteral("timeout"),
        QStringLiteral("With --once: give up when nothing could be delivered for this long "
                       "(default 60)."),
        QStringLiteral("seconds")};
    ForwardRunner m_runForward;
    SelectionOptions m_selection;
    SystemLog::LogSelection m_query; // types, grep and from; the ids are the forwarder's
    QString m_receiver;
    QString m_cursorFile;
    ForwardIdentity m_identity;
    ForwardAddress m_address;
    bool m_once = false;
    int m_timeoutMs = 60000;
};

} // namespace

std::unique_ptr<Command> makeForwardCommand(ForwardRunner runForward)
{
    return std::make_unique<ForwardCommand>(runForward);
}

} // namespace TallyLog
