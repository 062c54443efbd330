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
        : Command("forward",
                  "--to URL [--cursor-file FILE] [--type T[,T...]] [--grep TEXT] "
                  "[--from \"yyyy-MM-dd hh:mm:ss\"] [--identifier NAME] [--hostname NAME] "
                  "[--once]",
                  "Delivers the records, oldest first, to systemd-journal-remote (--to "
                  "http://HOST[:PORT]) or a syslog server (--to syslog+tcp://HOST[:PORT]), "
                  "remembering in the cursor file how far; runs until interrupted."),
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
        parser.addOption(m_onceOption);
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
        return parseForwardAddress(m_receiver, &m_address, problem);
    }

    int run(const QString &path) override
    {
        ForwardOptions options;
        options.dbPath = path;
        options.cursorPath = m_cursorFile;
        options.receiver = m_receiver;
        options.selection = m_query;
        options.once = m_once;
        return m_runForward(options, m_address, m_identity);
    }

private:
    QCommandLineOption m_toOption{QStringLiteral("to"),
                                  QStringLiteral("The receiver: http://HOST[:PORT] or "
                                                 "https://... (systemd-journal-remote, port "
                                                 "19532), or syslog+tcp://HOST[:PORT] (port 514)."),
                                  QStringLiteral("url")};
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
    QCommandLineOption m_onceOption{QStringLiteral("once"),
                                    QStringLiteral("Deliver what is there, then exit.")};
    ForwardRunner m_runForward;
    SelectionOptions m_selection;
    SystemLog::LogSelection m_query; // types, grep and from; the ids are the forwarder's
    QString m_receiver;
    QString m_cursorFile;
    ForwardIdentity m_identity;
    ForwardAddress m_address;
    bool m_once = false;
};

} // namespace

std::unique_ptr<Command> makeForwardCommand(ForwardRunner runForward)
{
    return std::make_unique<ForwardCommand>(runForward);
}

} // namespace TallyLog
