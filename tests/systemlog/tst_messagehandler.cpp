// Qt's messages routed into the log: the category each kind of message is stored as, the
// logging category's name before the text, the earlier handler still receiving every message,
// and SystemLog::log.

#include "MessageHandler.h"
#include "TestSupport.h"
#include "qzSysLog.h"

#include <QLoggingCategory>
#include <QtTest>

#include <memory>

using namespace TestSupport;

Q_LOGGING_CATEGORY(lcDevice, "tallyview.device")

namespace {

QStringList g_seenByEarlierHandler;

void earlierHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_seenByEarlierHandler << message;
}

} // namespace

class MessageHandlerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void messagesBecomeRecords_data();
    void messagesBecomeRecords();

private:
    std::unique_ptr<ScopedWorkDir> m_dir;
    QtMessageHandler m_testlibHandler = nullptr;
};

void MessageHandlerTest::init()
{
    m_dir = std::make_unique<ScopedWorkDir>();
    QVERIFY(m_dir->isValid());
    g_seenByEarlierHandler.clear();
    m_testlibHandler = qInstallMessageHandler(earlierHandler);
    SystemLog::qzSysLog::instance()->start();
}

void MessageHandlerTest::cleanup()
{
    SystemLog::uninstallMessageHandler();
    SystemLog::qzSysLog::release();
    qInstallMessageHandler(m_testlibHandler);
    m_dir.reset();
}

void MessageHandlerTest::messagesBecomeRecords_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("includeDebug");
    QTest::addColumn<int>("type"); // -1: no record
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("logged"); // the text SystemLog::log is given

    QTest::newRow("warning") << "warning" << false << int(SystemLog::SystemStatus) << "disk 91%"
                             << QString();
    QTest::newRow("critical") << "critical" << false << int(SystemLog::Alarm) << "disk 91%"
                              << QString();
    QTest::newRow("info") << "info" << false << int(SystemLog::OtherInfo) << "disk 91%"
                          << QString();
    QTest::newRow("debug, not asked for") << "debug" << false << -1 << QString() << QString();
    QTest::newRow("debug, asked for")
        << "debug" << true << int(SystemLog::OtherInfo) << "disk 91%" << QString();
    QTest::newRow("warning of a category")
        << "category warning" << false << int(SystemLog::SystemStatus)
        << "tallyview.device: disk 91%" << QString();
    const QString alarm = QString::fromUtf8("报警 disk 91%");
    QTest::newRow("SystemLog::log") << "log" << false << int(SystemLog::Alarm) << alarm << alarm;
    // What is stored is what QString::fromUtf8 makes of text.toUtf8(): a leading U+FEFF is taken
    // for a byte order mark, a lone surrogate is what toUtf8() makes of it.
    QTest::newRow("SystemLog::log, leading U+FEFF")
        << "log" << false << int(SystemLog::Alarm) << alarm << QChar(0xFEFF) + alarm;
    const QString loneSurrogate = QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b");
    QTest::newRow("SystemLog::log, lone surrogate")
        << "log" << false << int(SystemLog::Alarm) << QString::fromUtf8(loneSurrogate.toUtf8())
        << loneSurrogate;
}

void MessageHandlerTest::messagesBecomeRecords()
{
    QFETCH(QString, kind);
    QFETCH(bool, includeDebug);
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QString, logged);

    SystemLog::installMessageHandler(includeDebug);
    const char *message = "disk 91%";
    if (kind == QLatin1String("warning"))
        qWarning("%s", message);
    else if (kind == QLatin1String("critical"))
        qCritical("%s", message);
    else if (kind == QLatin1String("info"))
        qInfo("%s", message);
    else if (kind == QLatin1String("debug"))
        qDebug("%s", message);
    else if (kind == QLatin1String("category warning"))
        qCWarning(lcDevice, "%s", message);
    else
        SystemLog::log(SystemLog::Alarm, logged);
    SystemLog::uninstallMessageHandler();
    qWarning("after uninstalling");
    SystemLog::qzSysLog::release();

    AuxDb aux;
    QVERIFY(aux.isOpen());
    const QVector<AuxDb::Row> rows = aux.allRows();
    QCOMPARE(rows.size(), type < 0 ? 0 : 1);
    if (type >= 0) {
        QCOMPARE(rows.first().type, type);
        QCOMPARE(aux.messageBytes().value(0), text.toUtf8());
    }
    // The earlier handler saw every message, and is the handler again after uninstalling.
    const QStringList expected = kind == QLatin1String("log")
                                     ? QStringList{"after uninstalling"}
                                     : QStringList{message, "after uninstalling"};
    QCOMPARE(g_seenByEarlierHandler, expected);
}

QTEST_GUILESS_MAIN(MessageHandlerTest)
#include "tst_messagehandler.moc"
