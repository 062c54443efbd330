// What the window shows when it starts, what it restores from "./Tallyview.ini", and that
// starting and closing it never writes that file.

#include "Tallyview.h"
#include "TestLogFile.h"
#include "WindowTestSupport.h"
#include "qzSysLog.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QFile>
#include <QLabel>
#include <QSqlQuery>
#include <QTest>
#include <QTextEdit>

using WindowTest::Fixture;

class StartupTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void firstRun();
    void restoredIndex_data();
    void restoredIndex();
    void closingSavesNothing();
    void indexBuiltBeside_data();
    void indexBuiltBeside();

private:
    Fixture m_fx;
};

void StartupTest::init()
{
    QVERIFY(m_fx.setUp());
}

void StartupTest::cleanup()
{
    m_fx.tearDown();
}

void StartupTest::firstRun()
{
    const QDate before = QDate::currentDate();
    Tallyview *w = m_fx.openWindow();
    const QDate after = QDate::currentDate();
    if (before != after)
        QSKIP("the date changed while the window was built");

    const QStringList names{QString::fromUtf8("参数修改记录"), QString::fromUtf8("用户使用记录"),
                            QString::fromUtf8("系统状态记录"), QString::fromUtf8("报警记录"),
                            QString::fromUtf8("其他信息")};
    for (const char *listName : {"comboBox", "comboBox_2"}) {
        auto *list = w->findChild<QComboBox *>(QString::fromLatin1(listName));
        QVERIFY2(list, listName);
        QCOMPARE(list->count(), names.size());
        for (int i = 0; i < names.size(); ++i) {
            QCOMPARE(list->itemText(i), names.at(i));
            const QVariant data = list->itemData(i, Qt::UserRole);
            QCOMPARE(data.userType(), int(QMetaType::Int));
            QCOMPARE(data.toInt(), i);
            QVERIFY(list->itemIcon(i).isNull());
        }
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(list->currentText(), names.first());
    }

    auto *day = w->findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    auto *start = w->findChild<QDateTimeEdit *>(QStringLiteral("m_startdateTimeEdit"));
    auto *end = w->findChild<QDateTimeEdit *>(QStringLiteral("m_enddateTimeEdit"));
    QVERIFY(day && start && end);
    QCOMPARE(day->date(), before);
    QCOMPARE(start->dateTime(), QDateTime(before, QTime(0, 0, 0)));
    QCOMPARE(end->dateTime(), QDateTime(before, QTime(23, 59, 59)));

    m_fx.closeWindow();
    QVERIFY(!QFile::exists(m_fx.filePath(QStringLiteral("Tallyview.ini"))));
}

void StartupTest::restoredIndex_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("index");
    QTest::newRow("alarms") << QByteArray("[General]\ncomBoxIndex=3\n") << 3;
    QTest::newRow("last category") << QByteArray("[General]\ncomBoxIndex=4\n") << 4;
    QTest::newRow("first category") << QByteArray("[General]\ncomBoxIndex=0\n") << 0;
    QTest::newRow("other key only") << QByteArray("[General]\nsomethingElse=2\n") << 0;
    QTest::newRow("empty file") << QByteArray("") << 0;
    // Values that name no category start on the first one instead of on no item.
    QTest::newRow("negative") << QByteArray("[General]\ncomBoxIndex=-1\n") << 0;
    QTest::newRow("past the end") << QByteArray("[General]\ncomBoxIndex=5\n") << 0;
    QTest::newRow("large") << QByteArray("[General]\ncomBoxIndex=2147483647\n") << 0;
    QTest::newRow("not a number") << QByteArray("[General]\ncomBoxIndex=abc\n") << 0;
    QTest::newRow("fraction") << QByteArray("[General]\ncomBoxIndex=2.5\n") << 0;
    QTest::newRow("empty value") << QByteArray("[General]\ncomBoxIndex=\n") << 0;
}

void StartupTest::restoredIndex()
{
    QFETCH(QByteArray, settings);
    QFETCH(int, index);
    const QString iniPath = m_fx.filePath(QStringLiteral("Tallyview.ini"));
    QVERIFY(WindowTest::writeFile(iniPath, settings));

    Tallyview *w = m_fx.openWindow();
    auto *list = w->findChild<QComboBox *>(QStringLiteral("comboBox"));
    auto *list2 = w->findChild<QComboBox *>(QStringLiteral("comboBox_2"));
    QVERIFY(list && list2);
    QCOMPARE(list->currentIndex(), index);
    QCOMPARE(list2->currentIndex(), index);
    QCOMPARE(list->currentData().toInt(), index);

    // Starting and closing leave the file exactly as it was, even when its value was mended.
    QVERIFY(w->close());
    m_fx.closeWindow();
    QCOMPARE(WindowTest::readFile(iniPath), settings);
}

void StartupTest::closingSavesNothing()
{
    const QString iniPath = m_fx.filePath(QStringLiteral("Tallyview.ini"));
    const QByteArray settings("[General]\ncomBoxIndex=2\n");
    QVERIFY(WindowTest::writeFile(iniPath, settings));

    Tallyview *w = m_fx.openWindow();
    auto *list = w->findChild<QComboBox *>(QStringLiteral("comboBox"));
    QVERIFY(list);
    QCOMPARE(list->currentIndex(), 2);
    list->setCurrentIndex(4);

    QVERIFY(w->close()); // the close event stays accepted
    QVERIFY(!w->isVisible());
    m_fx.closeWindow();
    QCOMPARE(WindowTest::readFile(iniPath), settings);
}

void StartupTest::indexBuiltBeside_data()
{
    QTest::addColumn<bool>("closeFirst"); // the window closed before the index could be built
    QTest::newRow("listed once built") << false;
    QTest::newRow("closed meanwhile") << true;
}

// A log without the index of the listings, which another program reads meanwhile: the window is
// up at once and says that the index is being built, a query waits for it, and the index is there
// once the file is free. A window closed meanwhile leaves it to the next start.
void StartupTest::indexBuiltBeside()
{
    QFETCH(bool, closeFirst);
    const QString index = QStringLiteral("SystemInfo_type_datetime");
    const auto hasIndex = [&] {
        return TestLogFile::withConnection(QStringLiteral("dbLog.db"), [&](QSqlDatabase &db) {
            QSqlQuery q(db);
            return q.exec("SELECT 1 FROM sqlite_master WHERE name = '" + index + "'") && q.next();
        });
    };
    QVERIFY(WindowTest::seedRecords({{QStringLiteral("2024-03-15 08:00:00"), 3, "alarm"}}));
    QVERIFY(!hasIndex());
    auto reading = std::make_unique<TestFiles::FileLock>();
    QVERIFY(reading->pauseReading());

    Tallyview *w = m_fx.openWindow();
    const auto building = [] {
        return SystemLog::qzSysLog::instance()->writer().isBuildingIndex();
    };
    QVERIFY(building());
    QVERIFY(w->findChild<QLabel *>("stateStatus")->text().contains("正在为日志建立索引"));
    if (closeFirst) {
        m_fx.closeWindow();
        reading.reset();
        QVERIFY(!hasIndex());
        w = m_fx.openWindow();
    }
    w->findChild<QDateEdit *>("dateEdit")->setDate(QDate(2024, 3, 15));
    w->findChild<QComboBox *>("comboBox")->setCurrentIndex(3);
    w->findChild<QAbstractButton *>("pushButton")->click();
    reading.reset();
    QVERIFY(WindowTest::waitForListing());
    QVERIFY(!building());
    QVERIFY(hasIndex());
    QCOMPARE(w->findChild<QLabel *>("stateStatus")->text(), QString());
    QCOMPARE(w->findChild<QTextEdit *>("textEdit")->toPlainText(),
             QStringLiteral("2024-03-15 08:00:00:\nalarm"));
}

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
