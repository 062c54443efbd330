// The window's commands, driven through its buttons: page switches, the queries by day and by
// range with their listings and notices, the export with its dialogs and file, and finding in the
// listing.

#include "DayExporter.h"
#include "LiveFeed.h"
#include "RecordListing.h"
#include "Tallyview.h"
#include "TestLogFile.h"
#include "TimelineStrip.h"
#include "ToolkitTranslations.h"
#include "WindowTestSupport.h"
#include "qzSysLog.h"
#include "store/DamagedLog.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextEdit>
#include <QToolButton>
#include <QTranslator>
#include <QWheelEvent>

#include <csignal>
#include <cstdio>
#include <iterator>
#include <sys/resource.h>

using TestFiles::kHangGuardMs;
using WindowTest::Fixture;
using WindowTest::ModalDriver;
using WindowTest::Record;

namespace {

const QString kDay = QStringLiteral("2024-03-15");
const QDate kDate(2024, 3, 15);

QString exportName(const QString &day)
{
    return day + QString::fromUtf8("系统日志.txt");
}

QString exportPath(const QString &directory, const QString &day)
{
    return directory + QDir::separator() + exportName(day);
}

// The records every listing test starts from: several categories around one day.
QList<Record> sampleRecords()
{
    return {
        {QStringLiteral("2024-03-14 23:00:00"), 3, QString::fromUtf8("前一天的报警")},
        {QStringLiteral("2024-03-15 08:00:00"), 3, QString::fromUtf8("电机温度过高：85℃")},
        {QStringLiteral("2024-03-15 09:00:00"), 2, QString::fromUtf8("系统启动完成")},
        {QStringLiteral("2024-03-15 12:30:05"), 3, QString::fromUtf8("急停按钮被按下")},
        {QStringLiteral("2024-03-15 13:00:00"), 1, QString::fromUtf8("用户 admin 登录")},
        {QStringLiteral("2024-03-16 10:00:00"), 3, QString::fromUtf8("后一天的报警")},
    };
}

QString recordText(const QString &datetime, const QString &message)
{
    return datetime + QLatin1String(":\n") + message;
}

// What the window says before the database's words when another program holds the file.
const char *const kBusyWords = "日志文件正被其他程序占用，请稍后重试\n";
// With live update on, the window shows a stored record within a second, and asks again every
// second for a listing refused while another program held the file: thirty times that is the
// margin for a loaded machine.
constexpr int kWithinASecondMs = 30000;
// What the status line says while live update waits for another program.
const char *const kLivePaused = "日志被其他程序占用，实时更新暂停";

// A tiny valid PNG, so that a view which wrongly loads images from messages would find one.
bool writeProbeImage(const QString &path)
{
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::red);
    return image.save(path, "PNG");
}

// The error text that the service reports for the day query right now. The first select after
// the table went away fails at a different step from later ones, so that one is run first.
QString currentQueryError()
{
    QSqlError error;
    SystemLog::qzSysLog::instance()->queryDay(kDay, 3, &error);
    SystemLog::qzSysLog::instance()->queryDay(kDay, 3, &error);
    return error.isValid() ? error.text() : QString();
}

// Makes the given encoding the locale's for the object's lifetime.
class LocaleCodec
{
public:
    explicit LocaleCodec(const char *name) : m_saved(QTextCodec::codecForLocale())
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(name));
    }
    ~LocaleCodec() { QTextCodec::setCodecForLocale(m_saved); }
    LocaleCodec(const LocaleCodec &) = delete;
    LocaleCodec &operator=(const LocaleCodec &) = delete;

private:
    QTextCodec *m_saved;
};

// Lowers the process's file size limit for its lifetime, so that writes past it fail (EFBIG)
// instead of raising SIGXFSZ. A negative limit changes nothing.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(long long bytes) : m_active(bytes >= 0)
    {
        if (!m_active)
            return;
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_saved;
        lowered.rlim_cur = rlim_t(bytes);
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit()
    {
        if (!m_active)
            return;
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    bool m_active;
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

QStringList exportFilesIn(const QString &directory)
{
    return QDir(directory).entryList(QStringList{QStringLiteral("*系统日志.txt*")},
                                     QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
}

// Alarms to find in: any case, Chinese, pattern characters; the 15th lists the four at 10-13 h.
QList<Record> findRecords()
{
    const char *const alarms[] = {"Alarm E42: motor overcurrent",
                                  "alarm cleared, ALARM log saved, abc",
                                  "参数 a.c 已修改，报警复位", "报警：急停 alarm"};
    QList<Record> records{{"2024-03-16 07:00:00", 3, "alarm again"},
                          {"2024-03-15 07:00:00", 2, "no alarm here"}};
    for (int i = 0; i < 4; ++i)
        records << Record{QString("2024-03-15 1%1:00:00").arg(i), 3, QString::fromUtf8(alarms[i])};
    return records;
}

} // namespace

class CommandsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void pageSwitchesLeaveEverythingElse();
    void unknownSenderDoesNothing_data();
    void unknownSenderDoesNothing();
    void savesIndexOnQueryByDayOnly_data();
    void savesIndexOnQueryByDayOnly();
    void queryByDayListsRecords_data();
    void queryByDayListsRecords();
    void queryByRangeListsRecords_data();
    void queryByRangeListsRecords();
    void defaultRangeAgreesWithDay();
    void notices_data();
    void notices();
    void hostileMessagesShownVerbatim_data();
    void hostileMessagesShownVerbatim();

    void exportWritesDayFile_data();
    void exportWritesDayFile();
    void exportReplacesEarlierFile_data();
    void exportReplacesEarlierFile();
    void exportEmptyDay();
    void exportCancelled();
    void exportFailures_data();
    void exportFailures();
    void exportRunsBesideWindow_data();
    void exportRunsBesideWindow();
    void exportWriteCancelled();
    void enterQueries_data();
    void enterQueries();
    void tabOrderFollowsForm_data();
    void tabOrderFollowsForm();

    void findStepsThroughMatches_data();
    void findStepsThroughMatches();
    void findOpensAndCloses_data();
    void findOpensAndCloses();
    void findFollowsNewListing();
    void findWithoutMatchKeepsPlace_data();
    void findWithoutMatchKeepsPlace();
    void liveUpdate_data();
    void liveUpdate();
    void liveUpdateListsALogMovedOverIt();
    void refreshKeepsRecord();
    void livePauseSaid();
    void timeline_data();
    void timeline();
    void timelineBuckets_data();
    void timelineBuckets();

    void longListing_data();
    void longListing();
    void queryInPreparation_data();
    void queryInPreparation();
    void appendedRows_data();
    void appendedRows();
    void queryAgainAfterScrolling_data();
    void queryAgainAfterScrolling();
    void querySequence();
    void firstRecordAtOrAfter_data();
    void firstRecordAtOrAfter();
    void matchesOnly_data();
    void matchesOnly();
    void fileChangesUnderListing_data();
    void fileChangesUnderListing();
    void longRecordCut_data();
    void longRecordCut();

private:
    QTextEdit *view() const;
    // Takes the view from where the query left it: "Ctrl+End", "PageDown", else the wheel turned
    // down by the given notches.
    void moveView(const QString &move, int notches = 1) const;
    bool click(const char *name) const;
    void setDay(const QDate &date) const;
    void setCategory(const char *list, int index) const;
    int currentPage() const;
    // The listing as the view would hold it after one paragraph appended per record.
    QString referenceHtml(const QStringList &records, bool appendEach) const;
    // An active window listing the alarms of findRecords() on the given day of March 2024.
    bool listForFind(int day);
    // An active window listing 240 alarms of the 15th, two of them "needle", the rest "filler".
    bool listLongDay();
    bool listSeededLongDay(int count);
    QLineEdit *findEdit() const { return m_fx.window()->findChild<QLineEdit *>("findEdit"); }
    // A label of the status line: "listingStatus" (the listing shown) or "stateStatus".
    QString status(const char *label = "listingStatus") const
    {
        return m_fx.window()->findChild<QLabel *>(label)->text();
    }
    bool busyShown() const
    {
        return !m_fx.window()->findChild<QWidget *>("busyIndicator")->isHidden();
    }
    QString findStatus() const { return m_fx.window()->findChild<QLabel *>("findStatus")->text(); }

    Fixture m_fx;
};

void CommandsTest::init()
{
    QVERIFY(m_fx.setUp());
}

void CommandsTest::cleanup()
{
    m_fx.tearDown();
    QVERIFY(!QApplication::overrideCursor());
}

QTextEdit *CommandsTest::view() const
{
    return m_fx.window()->findChild<QTextEdit *>(QStringLiteral("textEdit"));
}

void CommandsTest::moveView(const QString &move, int notches) const
{
    QTextEdit *v = view();
    v->setFocus();
    if (move == QLatin1String("Ctrl+End")) {
        QTest::keyClick(v, Qt::Key_End, Qt::ControlModifier);
    } else if (move == QLatin1String("PageDown")) {
        QTest::keyClick(v, Qt::Key_PageDown);
    } else {
        const QPoint at = v->viewport()->rect().center();
        QWheelEvent wheel(at, v->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(v->viewport(), &wheel);
    }
}

bool CommandsTest::click(const char *name) const
{
    auto *button = m_fx.window()->findChild<QAbstractButton *>(QString::fromLatin1(name));
    if (!button)
        return false;
    button->click();
    return WindowTest::waitForListing();
}

void CommandsTest::setDay(const QDate &date) const
{
    m_fx.window()->findChild<QDateEdit *>(QStringLiteral("dateEdit"))->setDate(date);
}

void CommandsTest::setCategory(const char *list, int index) const
{
    m_fx.window()->findChild<QComboBox *>(QString::fromLatin1(list))->setCurrentIndex(index);
}

int CommandsTest::currentPage() const
{
    return m_fx.window()
        ->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))
        ->currentIndex();
}

QString CommandsTest::referenceHtml(const QStringList &records, bool appendEach) const
{
    QTextEdit reference;
    reference.setFont(view()->font());
    for (const QString &record : records) {
        if (appendEach) {
            reference.append(record);
        } else {
            // What appending does for text that it does not take for markup.
            QTextCursor cursor(reference.document());
            cursor.movePosition(QTextCursor::End);
            if (!reference.document()->isEmpty())
                cursor.insertBlock();
            cursor.insertText(record);
        }
    }
    return reference.document()->toHtml();
}

void CommandsTest::pageSwitchesLeaveEverythingElse()
{
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 3);
    setCategory("comboBox_2", 1);
    QVERIFY(click("pushButton"));
    const QString listing = view()->toPlainText();
    QVERIFY(!listing.isEmpty());
    const QByteArray settings = WindowTest::readFile(QStringLiteral("Tallyview.ini"));
    auto *start = m_fx.window()->findChild<QDateTimeEdit *>(QStringLiteral("m_startdateTimeEdit"));
    const QDateTime startValue = start->dateTime();

    QVERIFY(click("toolButton"));
    QCOMPARE(currentPage(), 1);
    QCOMPARE(view()->toPlainText(), listing);
    QVERIFY(click("toolButton"));
    QCOMPARE(currentPage(), 1);
    QVERIFY(click("toolButton_2"));
    QCOMPARE(currentPage(), 0);
    QCOMPARE(view()->toPlainText(), listing);
    QCOMPARE(view()->font().pixelSize(), 18);
    QCOMPARE(m_fx.window()->findChild<QComboBox *>(QStringLiteral("comboBox"))->currentIndex(), 3);
    QCOMPARE(m_fx.window()->findChild<QComboBox *>(QStringLiteral("comboBox_2"))->currentIndex(),
             1);
    QCOMPARE(start->dateTime(), startValue);
    QCOMPARE(WindowTest::readFile(QStringLiteral("Tallyview.ini")), settings);
}

void CommandsTest::unknownSenderDoesNothing_data()
{
    QTest::addColumn<bool>("withSender");
    QTest::addColumn<QString>("name");
    QTest::newRow("no sender") << false << QString();
    QTest::newRow("unnamed") << true << QString();
    QTest::newRow("other case") << true << QStringLiteral("PushButton");
    QTest::newRow("longer name") << true << QStringLiteral("pushButton_3");
    QTest::newRow("prefix") << true << QStringLiteral("toolButt");
    QTest::newRow("trailing space") << true << QStringLiteral("toolButton ");
    QTest::newRow("export lower case") << true << QStringLiteral("m_pbexport");
}

void CommandsTest::unknownSenderDoesNothing()
{
    QFETCH(bool, withSender);
    QFETCH(QString, name);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    Tallyview *w = m_fx.openWindow();
    setDay(kDate);
    view()->setPlainText(QStringLiteral("untouched"));

    ModalDriver driver;
    if (withSender) {
        QPushButton stranger;
        stranger.setObjectName(name);
        QVERIFY(connect(&stranger, SIGNAL(clicked()), w, SLOT(onButtonClicked())));
        stranger.click();
    } else {
        QVERIFY(QMetaObject::invokeMethod(w, "onButtonClicked"));
    }
    QCOMPARE(currentPage(), 0);
    QCOMPARE(view()->toPlainText(), QStringLiteral("untouched"));
    QVERIFY(!QFile::exists(QStringLiteral("Tallyview.ini")));
    QVERIFY(driver.seen.isEmpty());
}

void CommandsTest::savesIndexOnQueryByDayOnly_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("dayIndex");
    QTest::addColumn<int>("saved"); // -2: no file afterwards; otherwise the stored value

    QTest::newRow("day, first category, no file")
        << QByteArray() << QStringLiteral("pushButton") << 0 << 0;
    QTest::newRow("day, alarms") << QByteArray() << QStringLiteral("pushButton") << 3 << 3;
    QTest::newRow("day, changed") << QByteArray("[General]\ncomBoxIndex=1\n")
                                  << QStringLiteral("pushButton") << 4 << 4;
    QTest::newRow("day, mended value saved")
        << QByteArray("[General]\ncomBoxIndex=9\n") << QStringLiteral("pushButton") << -1 << 0;
    QTest::newRow("range") << QByteArray() << QStringLiteral("pushButton_2") << 3 << -2;
    QTest::newRow("export") << QByteArray() << QStringLiteral("m_pbExport") << 3 << -2;
    QTest::newRow("advanced") << QByteArray() << QStringLiteral("toolButton") << 3 << -2;
    QTest::newRow("back") << QByteArray() << QStringLiteral("toolButton_2") << 3 << -2;
}

void CommandsTest::savesIndexOnQueryByDayOnly()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, button);
    QFETCH(int, dayIndex);
    QFETCH(int, saved);
    if (!before.isNull())
        QVERIFY(WindowTest::writeFile(QStringLiteral("Tallyview.ini"), before));

    m_fx.openWindow();
    setDay(QDate(2001, 1, 1)); // no records: the export ends at its notice
    if (dayIndex >= 0)
        setCategory("comboBox", dayIndex);
    setCategory("comboBox_2", 2);
    ModalDriver driver({ModalDriver::pressOk()});
    QVERIFY(click(button.toLatin1().constData()));
    QCOMPARE(driver.unexpected, 0);

    if (saved == -2) {
        if (before.isNull())
            QVERIFY(!QFile::exists(QStringLiteral("Tallyview.ini")));
        else
            QCOMPARE(WindowTest::readFile(QStringLiteral("Tallyview.ini")), before);
        return;
    }
    QVERIFY(QFile::exists(QStringLiteral("Tallyview.ini")));
    QSettings settings(QStringLiteral("./Tallyview.ini"), QSettings::IniFormat);
    const QVariant value = settings.value(QStringLiteral("comBoxIndex"));
    QVERIFY(value.isValid());
    QCOMPARE(value.toInt(), saved);
    QCOMPARE(settings.allKeys(), QStringList{QStringLiteral("comBoxIndex")});
}

void CommandsTest::queryByDayListsRecords_data()
{
    QTest::addColumn<QDate>("day");
    QTest::addColumn<int>("category");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("alarms of the day")
        << kDate << 3
        << QStringList{recordText(QStringLiteral("2024-03-15 08:00:00"),
                                  QString::fromUtf8("电机温度过高：85℃")),
                       recordText(QStringLiteral("2024-03-15 12:30:05"),
                                  QString::fromUtf8("急停按钮被按下"))};
    QTest::newRow("one status record")
        << kDate << 2
        << QStringList{recordText(QStringLiteral("2024-03-15 09:00:00"),
                                  QString::fromUtf8("系统启动完成"))};
    QTest::newRow("next day") << QDate(2024, 3, 16) << 3
                              << QStringList{recordText(QStringLiteral("2024-03-16 10:00:00"),
                                                        QString::fromUtf8("后一天的报警"))};
}

void CommandsTest::queryByDayListsRecords()
{
    QFETCH(QDate, day);
    QFETCH(int, category);
    QFETCH(QStringList, records);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    m_fx.openWindow();
    setDay(day);
    setCategory("comboBox", category);
    setCategory("comboBox_2", 0); // the range page's list plays no part

    ModalDriver driver;
    // Busy from the click until the listing is shown, and said so with the listing's name.
    const QString listing = SystemLog::categoryName(category) + QString::fromUtf8(" · ") +
                            day.toString(QStringLiteral("yyyy-MM-dd"));
    m_fx.window()->findChild<QAbstractButton *>("pushButton")->click();
    QVERIFY(busyShown());
    QVERIFY(status("stateStatus").endsWith(QString::fromUtf8("正在查询：") + listing));
    QVERIFY(WindowTest::waitForListing());
    QVERIFY(driver.seen.isEmpty());
    QVERIFY(!busyShown());
    QCOMPARE(status("stateStatus"), QString());
    QCOMPARE(status(), listing + QString::fromUtf8(" · 共 %1 条记录").arg(records.size()));

    QTextEdit *v = view();
    QCOMPARE(v->toPlainText(), records.join(QLatin1Char('\n')));
    QCOMPARE(v->document()->blockCount(), 2 * records.size());
    QCOMPARE(v->font().pixelSize(), 18);
    QCOMPARE(v->font().family(), QApplication::font().family());
    QCOMPARE(v->document()->defaultFont().pixelSize(), 18);
    // Looks exactly like one paragraph appended per record.
    QCOMPARE(v->document()->toHtml(), referenceHtml(records, true));
    QVERIFY(!QApplication::overrideCursor());

    // A second query replaces the listing instead of adding to it.
    QVERIFY(click("pushButton"));
    QCOMPARE(v->toPlainText(), records.join(QLatin1Char('\n')));
}

void CommandsTest::queryByRangeListsRecords_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QDateTime>("end");
    QTest::addColumn<int>("category");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("across midnight")
        << QDateTime(QDate(2024, 3, 14), QTime(22, 0)) << QDateTime(kDate, QTime(9, 30)) << 3
        << QStringList{
               recordText(QStringLiteral("2024-03-14 23:00:00"), QString::fromUtf8("前一天的报警")),
               recordText(QStringLiteral("2024-03-15 08:00:00"),
                          QString::fromUtf8("电机温度过高：85℃"))};
    QTest::newRow("user actions") << QDateTime(kDate, QTime(0, 0))
                                  << QDateTime(QDate(2024, 3, 16), QTime(23, 59, 59)) << 1
                                  << QStringList{recordText(QStringLiteral("2024-03-15 13:00:00"),
                                                            QString::fromUtf8("用户 admin 登录"))};
    QTest::newRow("start after end")
        << QDateTime(QDate(2024, 3, 16), QTime(0, 0)) << QDateTime(QDate(2024, 3, 14), QTime(0, 0))
        << 3 << QStringList();
}

void CommandsTest::queryByRangeListsRecords()
{
    QFETCH(QDateTime, start);
    QFETCH(QDateTime, end);
    QFETCH(int, category);
    QFETCH(QStringList, records);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 2); // the by-day list plays no part
    QVERIFY(click("toolButton"));
    setCategory("comboBox_2", category);
    m_fx.window()
        ->findChild<QDateTimeEdit *>(QStringLiteral("m_startdateTimeEdit"))
        ->setDateTime(start);
    m_fx.window()
        ->findChild<QDateTimeEdit *>(QStringLiteral("m_enddateTimeEdit"))
        ->setDateTime(end);

    ModalDriver driver;
    QVERIFY(click("pushButton_2"));
    QVERIFY(driver.seen.isEmpty());
    QCOMPARE(currentPage(), 1);
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    QCOMPARE(status(), SystemLog::categoryName(category) + QString::fromUtf8(" · ") +
                           start.toString(format) + QString::fromUtf8(" 至 ") +
                           end.toString(format) +
                           QString::fromUtf8(" · 共 %1 条记录").arg(records.size()));
    if (records.isEmpty()) {
        QCOMPARE(view()->toPlainText(), QString::fromUtf8("没有找到相关记录"));
        QCOMPARE(view()->font().pixelSize(), 30);
    } else {
        QCOMPARE(view()->toPlainText(), records.join(QLatin1Char('\n')));
        QCOMPARE(view()->font().pixelSize(), 18);
        QCOMPARE(view()->document()->toHtml(), referenceHtml(records, true));
    }
    QVERIFY(!QFile::exists(QStringLiteral("Tallyview.ini")));
}

void CommandsTest::defaultRangeAgreesWithDay()
{
    const QDate today = QDate::currentDate();
    const QString day = today.toString(QStringLiteral("yyyy-MM-dd"));
    const QString nextDay = today.addDays(1).toString(QStringLiteral("yyyy-MM-dd"));
    QVERIFY(WindowTest::seedRecords({
        {day + QStringLiteral(" 00:00:00"), 0, QStringLiteral("first second of the day")},
        {day + QStringLiteral(" 12:00:00"), 0, QStringLiteral("noon")},
        {day + QStringLiteral(" 23:59:59"), 0, QStringLiteral("last second of the day")},
        {nextDay + QStringLiteral(" 00:00:00"), 0, QStringLiteral("next day")},
    }));
    m_fx.openWindow();
    if (QDate::currentDate() != today)
        QSKIP("the date changed during the test");

    QVERIFY(click("pushButton"));
    const QString byDay = view()->toPlainText();
    QVERIFY(click("toolButton"));
    QVERIFY(click("pushButton_2"));
    QCOMPARE(view()->toPlainText(), byDay);
    QCOMPARE(byDay,
             QStringList({recordText(day + QStringLiteral(" 00:00:00"),
                                     QStringLiteral("first second of the day")),
                          recordText(day + QStringLiteral(" 12:00:00"), QStringLiteral("noon")),
                          recordText(day + QStringLiteral(" 23:59:59"),
                                     QStringLiteral("last second of the day"))})
                 .join(QLatin1Char('\n')));
}

void CommandsTest::notices_data()
{
    QTest::addColumn<QString>("condition");
    QTest::addColumn<QString>("button");
    for (const char *button : {"pushButton", "pushButton_2"}) {
        for (const char *condition : {"no records", "table dropped", "not a database",
                                      "file locked", "file locked, live update", "damaged page"}) {
            QTest::addRow("%s, %s", condition, button)
                << QString::fromLatin1(condition) << QString::fromLatin1(button);
        }
    }
}

void CommandsTest::notices()
{
    QFETCH(QString, condition);
    QFETCH(QString, button);
    // With live update on, a listing refused for a held file comes by itself once it is free.
    const bool live = condition.endsWith(QLatin1String("live update"));
    if (live)
        condition = QStringLiteral("file locked");
    const QByteArray notADatabase("this file is not a log database\n");
    if (condition == QLatin1String("no records"))
        QVERIFY(WindowTest::seedRecords(
            {{QStringLiteral("2024-03-15 10:00:00"), 4, QStringLiteral("another category")}}));
    else if (condition == QLatin1String("table dropped") ||
             condition == QLatin1String("file locked"))
        QVERIFY(WindowTest::seedRecords(sampleRecords()));
    else if (condition == QLatin1String("damaged page"))
        QVERIFY(WindowTest::seedLongDay(3000));
    else
        QVERIFY(WindowTest::writeFile(QStringLiteral("dbLog.db"), notADatabase));

    m_fx.openWindow();
    if (live)
        m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    setDay(kDate);
    setCategory("comboBox", 3);
    QVERIFY(click("toolButton"));
    setCategory("comboBox_2", 3);
    auto *start = m_fx.window()->findChild<QDateTimeEdit *>(QStringLiteral("m_startdateTimeEdit"));
    auto *end = m_fx.window()->findChild<QDateTimeEdit *>(QStringLiteral("m_enddateTimeEdit"));
    start->setDateTime(QDateTime(kDate, QTime(0, 0)));
    end->setDateTime(QDateTime(kDate, QTime(23, 59, 59)));
    if (condition == QLatin1String("table dropped"))
        QVERIFY(WindowTest::execOnLog(QStringLiteral("DROP TABLE SystemInfo")));
    WindowTest::LogLock lock;
    if (condition == QLatin1String("file locked"))
        QVERIFY(lock.take());
    if (condition == QLatin1String("damaged page")) {
        QVERIFY(!TestLogFile::damagePage(QStringLiteral("dbLog.db"), QStringLiteral("middle"))
                     .isEmpty());
        // A query through the service meets the damage; the service sets the file aside, and
        // the window names it once it lists again, from the new log.
        QVERIFY(currentQueryError().contains(QLatin1String("malformed")));
        QTRY_VERIFY_WITH_TIMEOUT(
            !SystemLog::DamagedLog::setAsideBeside(QStringLiteral("dbLog.db")).isEmpty(),
            TestFiles::kHangGuardMs);
        const QString aside =
            SystemLog::DamagedLog::setAsideBeside(QStringLiteral("dbLog.db")).first();
        // The new log's table comes a moment after the damaged file has gone aside.
        QTRY_VERIFY_WITH_TIMEOUT(
            WindowTest::execOnLog(QStringLiteral("SELECT 1 FROM SystemInfo LIMIT 1")),
            TestFiles::kHangGuardMs);
        QVERIFY(click(button.toLatin1().constData()));
        QCOMPARE(view()->toPlainText(), QString::fromUtf8("没有找到相关记录"));
        QVERIFY2(
            status("stateStatus").contains(QString::fromUtf8("日志文件损坏，已另存为 ") + aside),
            qPrintable(status("stateStatus")));
        return;
    }

    QString expected = QString::fromUtf8("没有找到相关记录");
    if (condition != QLatin1String("no records")) {
        // The window passes on the database's own words.
        const QString error = currentQueryError();
        QVERIFY(!error.trimmed().isEmpty());
        expected = QString::fromUtf8("查询失败：") + error;
        if (condition == QLatin1String("file locked")) {
            QVERIFY2(error.contains(QLatin1String("locked")), qPrintable(error));
            expected = QString::fromUtf8("查询失败：") + QString::fromUtf8(kBusyWords) + error;
        }
    }

    ModalDriver driver;
    QVERIFY(click(button.toLatin1().constData()));
    QVERIFY(driver.seen.isEmpty());
    QCOMPARE(view()->toPlainText(), expected);
    QVERIFY(status().endsWith(QString::fromUtf8(
        condition == QLatin1String("no records") ? " · 共 0 条记录" : " · 查询失败")));
    QCOMPARE(view()->document()->blockCount(), expected.count(QLatin1Char('\n')) + 1);
    QCOMPARE(view()->font().pixelSize(), 30);
    QCOMPARE(view()->document()->defaultFont().pixelSize(), 30);

    if (condition == QLatin1String("not a database")) {
        QCOMPARE(WindowTest::readFile(QStringLiteral("dbLog.db")), notADatabase);
        return;
    }
    if (live)
        QVERIFY(status("stateStatus").contains(QString::fromUtf8(kLivePaused)));
    lock.release();
    if (live) {
        QTRY_COMPARE_WITH_TIMEOUT(view()->font().pixelSize(), 18, kWithinASecondMs);
        QTRY_VERIFY_WITH_TIMEOUT(!status("stateStatus").contains(QString::fromUtf8(kLivePaused)),
                                 kWithinASecondMs);
        QVERIFY(view()->toPlainText().startsWith(QLatin1String("2024-03-15")));
        return;
    }
    if (condition == QLatin1String("table dropped"))
        QVERIFY(WindowTest::seedRecords(sampleRecords())); // the table comes back

    // Records again: the notice goes and the listing is back at 18 pixels.
    setCategory("comboBox", 3);
    setCategory("comboBox_2", 3);
    QVERIFY(WindowTest::seedRecords(
        {{QStringLiteral("2024-03-15 11:00:00"), 3, QStringLiteral("found")}}));
    QVERIFY(click(button.toLatin1().constData()));
    QVERIFY(view()->toPlainText().endsWith(
        recordText(QStringLiteral("2024-03-15 11:00:00"), QStringLiteral("found"))));
    QVERIFY(!view()->toPlainText().contains(QString::fromUtf8("没有找到相关记录")));
    QVERIFY(!view()->toPlainText().contains(QString::fromUtf8("查询失败")));
    QCOMPARE(view()->font().pixelSize(), 18);
}

void CommandsTest::hostileMessagesShownVerbatim_data()
{
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QString>("message");
    const QString stamp = QStringLiteral("2024-03-15 10:00:00");
    // A stored stamp is text as well: a file written by other software can hold anything there,
    // and it is the first line of the record, where markup detection looks.
    QTest::newRow("markup in the stamp")
        << stamp + QStringLiteral("<b>bold stamp</b>") << QStringLiteral("<i>italic</i>");
    QTest::newRow("image in the stamp")
        << stamp + QStringLiteral("<img src=\"probe.png\">") << QStringLiteral("message");
    QTest::newRow("entity in the stamp")
        << stamp + QStringLiteral(" &lt;b&gt;") << QStringLiteral("&amp;");
    QTest::newRow("bold") << stamp << QStringLiteral("<b>bold</b> and <i>italic</i>");
    QTest::newRow("image") << stamp << QStringLiteral("<img src=\"probe.png\" width=\"400\">");
    QTest::newRow("document")
        << stamp
        << QString::fromUtf8("<!DOCTYPE html><html><body><h1>标题</h1><p>段落</p></body></html>");
    QTest::newRow("qt tag") << stamp << QStringLiteral("<qt><font color=red>red</font></qt>");
    QTest::newRow("link") << stamp << QStringLiteral("<a href=\"http://example.com/\">link</a>");
    QTest::newRow("entities") << stamp << QStringLiteral("&amp; &lt;tag&gt; &#x41; &nbsp;");
    QTest::newRow("table") << stamp << QStringLiteral("<table><tr><td>cell</td></tr></table>");
    QTest::newRow("placeholders") << stamp << QStringLiteral("%1 %2 %L1 %% 100%");
    QTest::newRow("whitespace") << stamp
                                << QStringLiteral("  two leading,\ttab,  two inner,  trailing  ");
    QTest::newRow("quotes and backslashes")
        << stamp << QStringLiteral("it's \"quoted\" C:\\path\\%1");
    QTest::newRow("line breaks") << stamp << QStringLiteral("first line\nsecond line");
    // Stored before the next record with a later stamp (a clock set back): still listed first,
    // in the order of storing, whether both lie in the same half of the day or not.
    QTest::newRow("later stamp, stored first") << stamp.left(11) + "10:00:02"
                                               << "earlier id";
    QTest::newRow("evening stamp, stored first") << stamp.left(11) + "23:00:00"
                                                 << "earlier id";
}

void CommandsTest::hostileMessagesShownVerbatim()
{
    QFETCH(QString, stamp);
    QFETCH(QString, message);
    QVERIFY(writeProbeImage(QStringLiteral("probe.png")));
    QVERIFY(WindowTest::seedRecords(
        {{stamp, 4, message},
         {QStringLiteral("2024-03-15 10:00:01"), 4, QStringLiteral("<b>second</b>")}}));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 4);
    QVERIFY(click("pushButton"));

    const QStringList records{
        recordText(stamp, message),
        recordText(QStringLiteral("2024-03-15 10:00:01"), QStringLiteral("<b>second</b>"))};
    QTextDocument *doc = view()->document();
    QCOMPARE(view()->toPlainText(), records.join(QLatin1Char('\n')));
    QCOMPARE(doc->toHtml(), referenceHtml(records, false));

    // Nothing of the message became formatting, a link or an image.
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        QCOMPARE(block.blockFormat(), doc->begin().blockFormat());
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            QVERIFY(!format.isImageFormat());
            QVERIFY(!format.isAnchor());
            QVERIFY(!format.hasProperty(QTextFormat::FontWeight));
            QVERIFY(!format.hasProperty(QTextFormat::FontItalic));
            QVERIFY(!format.hasProperty(QTextFormat::ForegroundBrush));
        }
    }
    QVERIFY(!doc->rootFrame()->childFrames().size());
    QVERIFY(!doc->toHtml().contains(QLatin1String("<img")));
}

void CommandsTest::exportWritesDayFile_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("two records")
        << QList<Record>{{QStringLiteral("2024-03-15 08:00:00"), 3,
                          QString::fromUtf8("电机温度过高：85℃")},
                         {QStringLiteral("2024-03-15 12:30:05"), 3,
                          QString::fromUtf8("急停按钮被按下")}}
        << QByteArray("2024-03-15 08:00:00:\n"
                      "\xe7\x94\xb5\xe6\x9c\xba\xe6\xb8\xa9\xe5\xba\xa6\xe8\xbf\x87\xe9\xab\x98"
                      "\xef\xbc\x9a"
                      "85\xe2\x84\x83\n"
                      "2024-03-15 12:30:05:\n"
                      "\xe6\x80\xa5\xe5\x81\x9c\xe6\x8c\x89\xe9\x92\xae\xe8\xa2\xab\xe6\x8c\x89"
                      "\xe4\xb8\x8b\n");
    QTest::newRow("markup and placeholders as written")
        << QList<Record>{{QStringLiteral("2024-03-15 00:00:00"), 3,
                          QStringLiteral("<b>x</b> 'q' \"dq\" %1 & \\n")}}
        << QByteArray("2024-03-15 00:00:00:\n<b>x</b> 'q' \"dq\" %1 & \\n\n");
    QTest::newRow("last second of the day")
        << QList<Record>{{QStringLiteral("2024-03-15 23:59:59"), 3, QStringLiteral("late")},
                         {QStringLiteral("2024-03-16 00:00:00"), 3, QStringLiteral("next")}}
        << QByteArray("2024-03-15 23:59:59:\nlate\n");
}

void CommandsTest::exportWritesDayFile()
{
    QFETCH(QList<Record>, records);
    QFETCH(QByteArray, content);
    QList<Record> stored = records;
    stored << Record{QStringLiteral("2024-03-15 09:00:00"), 2, QStringLiteral("other category")};
    QVERIFY(WindowTest::seedRecords(stored));
    QTemporaryDir target;
    QVERIFY(target.isValid());

    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 3);
    // Exported from the range page: the by-day page's list and day still decide.
    QVERIFY(click("toolButton"));
    setCategory("comboBox_2", 2);
    view()->setPlainText(QStringLiteral("listing on screen"));

    // The content is UTF-8 whatever the locale's encoding. A GB18030 locale can name the file
    // (file names follow the locale) yet would write the text in its own encoding.
    LocaleCodec gb18030("GB18030");
    ModalDriver driver({ModalDriver::chooseDirectory(target.path()), ModalDriver::pressOk()});
    QVERIFY(click("m_pbExport"));
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.leftInScript(), 0);
    QCOMPARE(driver.seen.size(), 2);
    QCOMPARE(driver.seen[0].kind, QStringLiteral("directory"));
    QCOMPARE(driver.seen[0].title, QString::fromUtf8("请选择文件存储路径"));
    QCOMPARE(driver.seen[1].kind, QStringLiteral("message"));
    QCOMPARE(driver.seen[1].title, QString::fromUtf8("提示"));
    const QString path = exportPath(target.path(), kDay);
    QCOMPARE(driver.seen[1].text, QString::fromUtf8("数据导出完成，路径如下：\n") + path);
    for (const ModalDriver::Seen &s : driver.seen) {
        QVERIFY(s.parentIsWindow);
        QVERIFY(!s.waitCursor);
    }

    QCOMPARE(WindowTest::readFile(path), content);
    // Nothing else is left beside it (no temporary file).
    QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{exportName(kDay)});
    QCOMPARE(view()->toPlainText(), QStringLiteral("listing on screen"));
    QCOMPARE(currentPage(), 1);
    QVERIFY(!QFile::exists(QStringLiteral("Tallyview.ini")));
}

void CommandsTest::exportReplacesEarlierFile_data()
{
    QTest::addColumn<bool>("linkOutside"); // the name is a symbolic link to a file elsewhere
    QTest::newRow("earlier export") << false;
    // In a shared directory anyone may put a link there: it is replaced, never written through.
    QTest::newRow("link to a file outside") << true;
}

void CommandsTest::exportReplacesEarlierFile()
{
    QFETCH(bool, linkOutside);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    QTemporaryDir target;
    QTemporaryDir outside;
    QVERIFY(target.isValid() && outside.isValid());
    const QString path = exportPath(target.path(), kDay);
    const QByteArray older = QByteArray("an older and much longer export\n").repeated(50);
    const QString theirs = outside.filePath(QStringLiteral("theirs.txt"));
    QVERIFY(WindowTest::writeFile(linkOutside ? theirs : path, older));
    if (linkOutside)
        QVERIFY(QFile::link(theirs, path));

    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 2);
    {
        ModalDriver driver({ModalDriver::chooseDirectory(target.path()), ModalDriver::pressOk()});
        QVERIFY(click("m_pbExport"));
        QCOMPARE(driver.unexpected, 0);
    }
    QCOMPARE(WindowTest::readFile(path),
             QString::fromUtf8("2024-03-15 09:00:00:\n系统启动完成\n").toUtf8());

    // A second export of the same day replaces the first one.
    setCategory("comboBox", 3);
    {
        ModalDriver driver({ModalDriver::chooseDirectory(target.path()), ModalDriver::pressOk()});
        QVERIFY(click("m_pbExport"));
        QCOMPARE(driver.unexpected, 0);
    }
    QCOMPARE(WindowTest::readFile(path),
             QString::fromUtf8("2024-03-15 08:00:00:\n电机温度过高：85℃\n"
                               "2024-03-15 12:30:05:\n急停按钮被按下\n")
                 .toUtf8());
    QCOMPARE(exportFilesIn(target.path()), QStringList{exportName(kDay)});
    QVERIFY(!QFileInfo(path).isSymLink());
    if (linkOutside) {
        QCOMPARE(WindowTest::readFile(theirs), older);
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("theirs.txt")});
    }
}

void CommandsTest::exportEmptyDay()
{
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 4); // no "other" records that day

    ModalDriver driver({ModalDriver::pressOk()});
    QVERIFY(click("m_pbExport"));
    // Exactly one notice: the slot ran once and opened no directory chooser.
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.seen.size(), 1);
    QCOMPARE(driver.seen[0].kind, QStringLiteral("message"));
    QCOMPARE(driver.seen[0].title, QString::fromUtf8("提示"));
    QCOMPARE(driver.seen[0].text, kDay + QString::fromUtf8("没用记录可以导出"));
    QVERIFY(!driver.seen[0].waitCursor);
    QVERIFY(exportFilesIn(m_fx.path()).isEmpty());
}

void CommandsTest::exportCancelled()
{
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 3);

    ModalDriver driver({ModalDriver::cancel(), ModalDriver::pressOk()});
    QVERIFY(click("m_pbExport"));
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.seen.size(), 2);
    QCOMPARE(driver.seen[0].kind, QStringLiteral("directory"));
    QCOMPARE(driver.seen[1].kind, QStringLiteral("message"));
    QCOMPARE(driver.seen[1].title, QString::fromUtf8("提示"));
    QCOMPARE(driver.seen[1].text, QString::fromUtf8("路径无效"));
    QVERIFY(exportFilesIn(m_fx.path()).isEmpty());
}

void CommandsTest::exportFailures_data()
{
    QTest::addColumn<QString>("condition");
    QTest::newRow("target is a directory") << QStringLiteral("directory");
    QTest::newRow("read-only directory") << QStringLiteral("read-only");
    // Writing stops part-way: the earlier file must survive and no success may be claimed.
    QTest::newRow("file size limit reached") << QStringLiteral("size-limit");
    // Not even root can create files there.
    QTest::newRow("directory of the process file system") << QStringLiteral("proc");
    QTest::newRow("query fails") << QStringLiteral("query");
    QTest::newRow("file locked") << QStringLiteral("locked");
}

void CommandsTest::exportFailures()
{
    QFETCH(QString, condition);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    QString directory = target.path();
    if (condition == QLatin1String("proc")) {
        if (!QFileInfo(QStringLiteral("/proc/self")).isDir())
            QSKIP("no /proc file system here");
        directory = QStringLiteral("/proc");
    }
    const QString path = exportPath(directory, kDay);
    const QByteArray earlier("an earlier export that must survive\n");

    if (condition == QLatin1String("size-limit")) {
        QList<Record> many;
        for (int i = 0; i < 2000; ++i)
            many << Record{QStringLiteral("2024-03-15 14:%1:%2")
                               .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                               .arg(i % 60, 2, 10, QLatin1Char('0')),
                           3,
                           QString::fromUtf8("压力传感器读数超出上限，设备已自动停机，请检查。")};
        QVERIFY(WindowTest::seedRecords(many));
        QVERIFY(WindowTest::writeFile(path, earlier));
    } else if (condition == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path));
        QVERIFY(WindowTest::writeFile(path + QStringLiteral("/inside.txt"), earlier));
    } else if (condition == QLatin1String("read-only")) {
        QVERIFY(WindowTest::writeFile(path, earlier));
        QVERIFY(QFile::setPermissions(target.path(), QFile::ReadOwner | QFile::ExeOwner));
        QFile probe(target.filePath(QStringLiteral("probe")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.close();
            probe.remove();
            QFile::setPermissions(target.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QSKIP("permissions do not stop this user from writing (running as root?)");
        }
    }

    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 3);
    QString queryError;
    const bool queryFails = condition == QLatin1String("query") || condition == "locked";
    WindowTest::LogLock lock;
    if (queryFails) {
        if (condition == QLatin1String("query"))
            QVERIFY(WindowTest::execOnLog(QStringLiteral("DROP TABLE SystemInfo")));
        else
            QVERIFY(lock.take());
        queryError = currentQueryError();
        QVERIFY(!queryError.trimmed().isEmpty());
        if (condition == QLatin1String("locked"))
            queryError.prepend(QString::fromUtf8(kBusyWords));
    }

    QList<ModalDriver::Action> script{ModalDriver::pressOk()};
    if (!queryFails)
        script.prepend(ModalDriver::chooseDirectory(directory));
    ModalDriver driver(script);
    {
        FileSizeLimit limit(condition == QLatin1String("size-limit") ? 8 * 1024 : -1);
        QVERIFY(click("m_pbExport"));
    }
    QFile::setPermissions(target.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.leftInScript(), 0);
    const ModalDriver::Seen last = driver.seen.last();
    QCOMPARE(last.kind, QStringLiteral("message"));
    QCOMPARE(last.title, QString::fromUtf8("提示"));
    QVERIFY2(last.text.startsWith(QString::fromUtf8("导出失败：")), qPrintable(last.text));
    QVERIFY(last.text.size() > QString::fromUtf8("导出失败：").size());
    for (const ModalDriver::Seen &s : driver.seen)
        QVERIFY(!s.text.contains(QString::fromUtf8("数据导出完成")));

    if (queryFails) {
        QCOMPARE(driver.seen.size(), 1); // no directory chooser
        QCOMPARE(last.text, QString::fromUtf8("导出失败：") + queryError);
        QVERIFY(QDir(target.path()).isEmpty());
    } else if (condition == QLatin1String("size-limit")) {
        QCOMPARE(driver.seen.size(), 2);
        QCOMPARE(WindowTest::readFile(path), earlier);
        QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{exportName(kDay)});
    } else if (condition == QLatin1String("proc")) {
        QCOMPARE(driver.seen.size(), 2);
        QVERIFY(!QFileInfo::exists(path));
    } else if (condition == QLatin1String("directory")) {
        QCOMPARE(driver.seen.size(), 2);
        QVERIFY(QFileInfo(path).isDir());
        QCOMPARE(WindowTest::readFile(path + QStringLiteral("/inside.txt")), earlier);
        QCOMPARE(exportFilesIn(target.path()), QStringList{exportName(kDay)});
    } else {
        QCOMPARE(driver.seen.size(), 2);
        QCOMPARE(WindowTest::readFile(path), earlier);
        QCOMPARE(exportFilesIn(target.path()), QStringList{exportName(kDay)});
    }
}

void CommandsTest::exportRunsBesideWindow_data()
{
    QTest::addColumn<bool>("cancel"); // the progress dialog's cancel, while the day is read
    QTest::newRow("to the end") << false;
    QTest::newRow("cancelled") << true;
}

// The click returns with the export under way: the window goes on, its query controls disabled,
// a modeless progress dialog up. Cancelled, it says and writes nothing.
void CommandsTest::exportRunsBesideWindow()
{
    QFETCH(bool, cancel);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString path = exportPath(target.path(), kDay);
    const QByteArray earlier("an earlier export\n");
    QVERIFY(WindowTest::writeFile(path, earlier));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 2);
    auto *controls = m_fx.window()->findChild<QWidget *>("stackedWidget");

    ModalDriver driver(cancel
                           ? QList<ModalDriver::Action>()
                           : QList<ModalDriver::Action>{ModalDriver::chooseDirectory(target.path()),
                                                        ModalDriver::pressOk()});
    m_fx.window()->findChild<QAbstractButton *>("m_pbExport")->click();
    auto *progress = m_fx.window()->findChild<QProgressDialog *>("exportProgress");
    QVERIFY(progress && progress->isVisible() && !progress->isModal());
    QVERIFY(!controls->isEnabled());
    QVERIFY(busyShown());
    QVERIFY(status("stateStatus").endsWith(QString::fromUtf8("正在导出")));
    if (cancel)
        progress->findChild<QPushButton *>()->click();
    QVERIFY(WindowTest::waitForListing());
    QVERIFY(controls->isEnabled());
    QCOMPARE(driver.unexpected, 0);
    QCOMPARE(driver.leftInScript(), 0);
    QCOMPARE(driver.seen.size(), cancel ? 0 : 2);
    QCOMPARE(WindowTest::readFile(path),
             cancel ? earlier : QString::fromUtf8("2024-03-15 09:00:00:\n系统启动完成\n").toUtf8());
    QCOMPARE(exportFilesIn(target.path()), QStringList{exportName(kDay)});
}

// Cancelled before the file takes the name, the writing leaves the earlier export and nothing else.
void CommandsTest::exportWriteCancelled()
{
    QTemporaryDir target;
    QVERIFY(target.isValid());
    const QString path = exportPath(target.path(), kDay);
    QVERIFY(WindowTest::writeFile(path, "earlier\n"));
    const SystemLog::LogRowList rows{{QStringLiteral("2024-03-15 08:00:00"), QStringLiteral("x")}};
    const std::atomic<bool> cancel{true};
    std::atomic<int> written{0};
    QString failure;
    QCOMPARE(DayExporter::write(path, rows, cancel, &written, &failure),
             DayExporter::Outcome::Cancelled);
    QCOMPARE(WindowTest::readFile(path), QByteArray("earlier\n"));
    QCOMPARE(QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{exportName(kDay)});
}

void CommandsTest::enterQueries_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("key");       // typed in the field before Enter
    QTest::addColumn<int>("enter");     // Return, or the keypad's Enter
    QTest::addColumn<QString>("shown"); // the status line afterwards
    QTest::newRow("category, page 0") << "comboBox" << int(Qt::Key_Up) << int(Qt::Key_Return)
                                      << "系统状态记录 · 2024-03-14 · 共 0 条记录";
    QTest::newRow("day") << "dateEdit" << int(Qt::Key_Up) << int(Qt::Key_Enter)
                         << "报警记录 · 2024-03-15 · 共 2 条记录";
    QTest::newRow("category, page 1")
        << "comboBox_2" << int(Qt::Key_Up) << int(Qt::Key_Enter)
        << "系统状态记录 · 2024-03-16 00:00:00 至 2024-03-15 23:59:59 · 共 0 条记录";
    QTest::newRow("start") << "m_startdateTimeEdit" << int(Qt::Key_Down) << int(Qt::Key_Return)
                           << "报警记录 · 2024-03-15 00:00:00 至 2024-03-15 23:59:59 · 共 2 条记录";
    QTest::newRow("end") << "m_enddateTimeEdit" << int(Qt::Key_Up) << int(Qt::Key_Return)
                         << "报警记录 · 2024-03-16 00:00:00 至 2024-03-16 23:59:59 · 共 1 条记录";
}

// Enter in a field queries as that page's "查询" does, with what was just typed in the field.
void CommandsTest::enterQueries()
{
    QFETCH(QString, field);
    QFETCH(int, key);
    QFETCH(int, enter);
    QFETCH(QString, shown);
    QVERIFY(WindowTest::seedRecords(sampleRecords()));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setDay(kDate.addDays(-1));
    setCategory("comboBox", 3);
    setCategory("comboBox_2", 3);
    m_fx.window()
        ->findChild<QDateTimeEdit *>("m_startdateTimeEdit")
        ->setDateTime(QDateTime(kDate.addDays(1), QTime(0, 0)));
    m_fx.window()
        ->findChild<QDateTimeEdit *>("m_enddateTimeEdit")
        ->setDateTime(QDateTime(kDate, QTime(23, 59, 59)));
    if (field.endsWith(QLatin1String("_2")) || field.startsWith(QLatin1String("m_")))
        QVERIFY(click("toolButton"));
    auto *widget = m_fx.window()->findChild<QWidget *>(field);
    widget->setFocus();
    if (auto *date = qobject_cast<QDateTimeEdit *>(widget))
        date->setCurrentSection(QDateTimeEdit::DaySection);
    QTest::keyClick(widget, Qt::Key(key));
    QTest::keyClick(widget, Qt::Key(enter),
                    enter == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QVERIFY(WindowTest::waitForListing());
    QCOMPARE(status(), shown);
}

void CommandsTest::tabOrderFollowsForm_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("by day") << 0 << QStringList{"comboBox", "pushButton", "toolButton",
                                                "dateEdit", "m_pbExport", "textEdit"};
    QTest::newRow("range") << 1 << QStringList{"comboBox_2",        "pushButton_2",
                                               "toolButton_2",      "m_startdateTimeEdit",
                                               "m_enddateTimeEdit", "textEdit"};
}

void CommandsTest::tabOrderFollowsForm()
{
    QFETCH(int, page);
    QFETCH(QStringList, order);
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    if (page == 1)
        QVERIFY(click("toolButton"));
    m_fx.window()->findChild<QWidget *>(order.first())->setFocus();
    // Tab steps through a date's sections before it leaves the editor.
    QStringList seen;
    for (int tab = 0; tab < 5 * order.size() && seen.size() < order.size(); ++tab) {
        QWidget *focus = QApplication::focusWidget();
        while (focus && focus->objectName().isEmpty())
            focus = focus->parentWidget(); // the field inside an editor
        const QString name = focus ? focus->objectName() : QString();
        if (seen.isEmpty() || seen.last() != name)
            seen << name;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(seen, order);
}

// Live update says why it waits while another program holds the file, and stops saying it when
// the file is free again.
void CommandsTest::livePauseSaid()
{
    QVERIFY(listLongDay());
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    QCOMPARE(status("stateStatus"), QString());
    WindowTest::LogLock lock;
    QVERIFY(lock.take());
    QTRY_COMPARE_WITH_TIMEOUT(status("stateStatus"), QString::fromUtf8(kLivePaused),
                              kWithinASecondMs);
    lock.release();
    QTRY_COMPARE_WITH_TIMEOUT(status("stateStatus"), QString(), kWithinASecondMs);
}

void CommandsTest::timeline_data()
{
    QTest::addColumn<QString>("from"); // empty: the day's query
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("jump"); // the bucket clicked and live-added to
    QTest::newRow("a day, per hour") << QString() << QString() << "2024-03-15 10";
    QTest::newRow("under two hours, per minute") << "2024-03-15 10:00:00"
                                                 << "2024-03-15 11:29:59"
                                                 << "2024-03-15 10:45";
}

// The timeline counts the listing per bucket, a click shows a bucket's first record, live update
// adds to its bucket, and off it leaves the form's grid as it was.
void CommandsTest::timeline()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, jump);
    const int count = 2000;
    QVERIFY(WindowTest::seedLongDay(count));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    auto *grid = m_fx.window()->findChild<QGridLayout *>("gridLayout_2");
    auto *action = m_fx.window()->findChild<QAction *>("timelineAction");
    QVERIFY(action && action->isCheckable() && !action->isChecked());
    QCOMPARE(action->text(), QString::fromUtf8("时间分布"));
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    setDay(kDate);
    setCategory("comboBox", 3);
    setCategory("comboBox_2", 3);
    if (from.isEmpty()) {
        QVERIFY(click("pushButton"));
    } else {
        QVERIFY(click("toolButton"));
        const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
        m_fx.window()
            ->findChild<QDateTimeEdit *>("m_startdateTimeEdit")
            ->setDateTime(QDateTime::fromString(from, format));
        m_fx.window()
            ->findChild<QDateTimeEdit *>("m_enddateTimeEdit")
            ->setDateTime(QDateTime::fromString(to, format));
        QVERIFY(click("pushButton_2"));
    }
    QCOMPARE(grid->count(), 2);
    action->trigger();
    auto *strip = m_fx.window()->findChild<TimelineStrip *>();
    QVERIFY(strip && grid->itemAtPosition(1, 1)->widget() == strip);
    QTRY_COMPARE_WITH_TIMEOUT(strip->notice(), QString(), kHangGuardMs);

    const TimelineBuckets &buckets = strip->buckets();
    QCOMPARE(buckets.prefixLength(), jump.size());
    QMap<QString, qint64> expected; // per bucket, from the stamps the records were given
    for (int i = 0; i < count; ++i) {
        const QString stamp = WindowTest::longDayRecordText(count, i).left(19);
        if (from.isEmpty() || (stamp >= from && stamp <= to))
            ++expected[stamp.left(jump.size())];
    }
    auto *listing = view()->findChild<RecordListing *>();
    QCOMPARE(buckets.total(), qint64(listing->recordCount()));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(buckets.count(buckets.bucketOf(it.key())), it.value());

    const qint64 bucket = buckets.bucketOf(jump);
    QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, strip->bucketRect(bucket).center());
    QCOMPARE(listing->recordText(listing->topRecord()).left(jump.size()), jump);
    QVERIFY(listing->recordText(listing->topRecord() - 1).left(jump.size()) < jump);

    const QString late = jump + QStringLiteral(":59:59").right(19 - jump.size());
    QVERIFY(WindowTest::seedRecords({{late, 3, "live"}}));
    QTRY_COMPARE_WITH_TIMEOUT(strip->buckets().count(bucket), expected[jump] + 1, kWithinASecondMs);
    action->trigger();
    QVERIFY(!m_fx.window()->findChild<TimelineStrip *>());
    QCOMPARE(grid->count(), 2);
}

void CommandsTest::timelineBuckets_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("size");    // buckets on the axis, 0 for none
    QTest::addColumn<int>("prefix");  // 16 per minute, 13 per hour
    QTest::addColumn<int>("counted"); // of the stamps the test adds
    QTest::newRow("just under two hours: minutes") << "2024-03-15 10:00:00"
                                                   << "2024-03-15 11:59:59" << 120 << 16 << 1;
    QTest::newRow("two hours: hours") << "2024-03-15 10:00:00"
                                      << "2024-03-15 12:00:00" << 3 << 13 << 1;
    QTest::newRow("a day") << "2024-03-15 00:00:00"
                           << "2024-03-15 23:59:59" << 24 << 13 << 1;
    QTest::newRow("over a leap day") << "2024-02-28 23:00:00"
                                     << "2024-03-16 10:59:59" << 24 * 16 + 12 << 13 << 2;
    QTest::newRow("end before start") << "2024-03-15 10:00:00"
                                      << "2024-03-15 09:00:00" << 0 << 13 << 0;
    QTest::newRow("no moment") << "2024-3-15 10:00:00"
                               << "2024-03-15 11:00:00" << 0 << 13 << 0;
}

// Only stamps of the form "yyyy-MM-dd hh:mm..." that name a real moment on the axis are counted.
void CommandsTest::timelineBuckets()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(int, size);
    QFETCH(int, prefix);
    QFETCH(int, counted);
    TimelineBuckets buckets = TimelineBuckets::forSpan(from, to);
    QCOMPARE(buckets.isValid(), size > 0);
    QCOMPARE(buckets.size(), qint64(size));
    QCOMPARE(buckets.prefixLength(), prefix);
    for (const char *stamp : {"2024-03-15 10:30:00", "2024-03-15 9:30:00", "2024-03-15 24:00:00",
                              "2024-02-30 10:00:00", "2024-03-15T10:30:00", "2024-03-16 10:30:00"})
        buckets.add(QString::fromLatin1(stamp));
    QCOMPARE(buckets.total(), qint64(counted));
    if (size > 0)
        QCOMPARE(buckets.startOf(buckets.first()),
                 from.left(prefix) + QString(":00:00").left(19 - prefix));
}

bool CommandsTest::listForFind(int day)
{
    if (!m_fx.window() &&
        !(WindowTest::seedRecords(findRecords()) && WindowTest::activate(m_fx.openWindow())))
        return false;
    setDay(QDate(2024, 3, day));
    setCategory("comboBox", 3);
    return click("pushButton");
}

void CommandsTest::findStepsThroughMatches_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("cursorBlock");   // where the view's cursor is when the bar opens
    QTest::addColumn<QList<int>>("blocks"); // the block of each match, in order
    QTest::addColumn<int>("first");         // the match selected first
    QTest::addColumn<int>("width");         // of the window, 0 for the form's
    QTest::newRow("any case") << "ALARM" << 0 << QList<int>{1, 3, 3, 7} << 0 << 0;
    QTest::newRow("after the cursor") << "alarm" << 4 << QList<int>{1, 3, 3, 7} << 3 << 0;
    QTest::newRow("wraps from the cursor") << "e42" << 7 << QList<int>{1} << 0 << 0;
    QTest::newRow("Chinese") << "报警" << 0 << QList<int>{5, 7} << 0 << 0;
    QTest::newRow("time stamp") << "12:00" << 0 << QList<int>{4} << 0 << 0;
    QTest::newRow("no pattern") << "a.c" << 0 << QList<int>{5} << 0 << 0;
    QTest::newRow("no match") << "xyz" << 0 << QList<int>{} << -1 << 0;
    // The bar then spans the view's first lines, where the matches are.
    QTest::newRow("under the bar") << "2024-03-15 1" << 0 << QList<int>{0, 2, 4, 6} << 0 << 300;
}

void CommandsTest::findStepsThroughMatches()
{
    QFETCH(QString, word);
    QFETCH(int, cursorBlock);
    QFETCH(QList<int>, blocks);
    QFETCH(int, first);
    QFETCH(int, width);
    QVERIFY(listForFind(15));
    if (width)
        m_fx.window()->resize(width, m_fx.window()->height());
    const QString listing = view()->toPlainText();
    view()->setTextCursor(QTextCursor(view()->document()->findBlockByNumber(cursorBlock)));
    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(findEdit() && findEdit()->hasFocus());
    // At once, as an input method commits Chinese; the other tests type key by key.
    QTest::sendKeyEvent(QTest::Click, findEdit(), Qt::Key_unknown, word, Qt::NoModifier);
    const int n = blocks.size();
    QTRY_COMPARE_WITH_TIMEOUT(
        findStatus(), n ? QString("%1/%2").arg(first + 1).arg(n) : QString("无匹配"), kHangGuardMs);

    // Forward past the last match and back past the first, with both keys of each direction.
    int index = first;
    for (int i = 0; n && i < 2 * n + 2; ++i) {
        const QTextCursor cursor = view()->textCursor();
        QCOMPARE(findStatus(), QString("%1/%2").arg(index + 1).arg(n));
        QCOMPARE(cursor.block().blockNumber(), blocks.at(index));
        QCOMPARE(cursor.selectedText().compare(word, Qt::CaseInsensitive), 0);
        QCOMPARE(listing.mid(cursor.selectionStart(), word.size()), cursor.selectedText());
        bool highlighted = false;
        for (const QTextEdit::ExtraSelection &s : view()->extraSelections()) {
            QCOMPARE(s.cursor.selectedText().compare(word, Qt::CaseInsensitive), 0);
            highlighted |= s.cursor.selectionStart() == cursor.selectionStart();
        }
        QVERIFY(highlighted);
        // The current match is never hidden under the bar.
        const QRect bar =
            findEdit()->parentWidget()->geometry().translated(-view()->viewport()->pos());
        QTextCursor start = cursor;
        start.setPosition(cursor.selectionStart());
        QVERIFY(!bar.intersects(view()->cursorRect(start).united(view()->cursorRect(cursor))));
        const int direction = i <= n ? 1 : -1;
        // Enter in the field, F3 from the field, the listing and a date editor.
        QWidget *from = i % 4 == 0   ? findEdit()
                        : i % 4 == 1 ? static_cast<QWidget *>(view())
                        : i % 4 == 2 ? m_fx.window()->findChild<QWidget *>("dateEdit")
                                     : findEdit();
        from->setFocus();
        QTest::keyClick(from, i % 4 == 0 ? Qt::Key_Return : Qt::Key_F3,
                        direction < 0 ? Qt::ShiftModifier : Qt::NoModifier);
        index = (index + direction + n) % n;
    }
    QCOMPARE(view()->toPlainText(), listing);
}

void CommandsTest::findOpensAndCloses_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::addColumn<QLocale>("locale"); // of the toolkit's texts in the menu
    QTest::addColumn<QString>("selectAll");
    QTest::newRow("Ctrl+F") << false << QLocale::c() << QString();
    QTest::newRow("menu, toolkit in Chinese") << true << QLocale("zh_CN") << QString("全选");
    QTest::newRow("menu, toolkit in English") << true << QLocale("en_US") << QString("Select All");
}

void CommandsTest::findOpensAndCloses()
{
    QFETCH(bool, fromMenu);
    QFETCH(QLocale, locale);
    QFETCH(QString, selectAll);
    if (!QFileInfo::exists(QLibraryInfo::location(QLibraryInfo::TranslationsPath) +
                           QStringLiteral("/qtbase_zh_CN.qm")))
        QSKIP("the toolkit's Chinese catalog is missing (Debian: qttranslations5-l10n)");
    const std::unique_ptr<QTranslator> translator(installToolkitTranslations(locale));
    QCOMPARE(bool(translator), locale.language() == QLocale::Chinese);
    QVERIFY(listForFind(15));
    QVERIFY(!findEdit()); // made when first opened
    const QString html = view()->document()->toHtml();
    if (fromMenu) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20));
        QApplication::sendEvent(view()->viewport(), &event);
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu && menu->findChild<QAction *>("select-all"));
        QCOMPARE(menu->findChild<QAction *>("select-all")->text().section('\t', 0, 0), selectAll);
        QAction *find = menu->actions().last();
        QCOMPARE(find->text(), QString("查找"));
        QCOMPARE(find->shortcut(), QKeySequence(QKeySequence::Find));
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(find).center());
        // The offscreen platform leaves no window active once a popup has closed.
        QVERIFY(WindowTest::activate(m_fx.window()));
    } else {
        QTest::keyClick(m_fx.window()->findChild<QWidget *>("comboBox"), Qt::Key_F,
                        Qt::ControlModifier);
    }
    QVERIFY(findEdit() && findEdit()->isVisible() && findEdit()->hasFocus());
    QCOMPARE(findEdit()->placeholderText(), QString("查找"));
    QWidget *bar = findEdit()->parentWidget();
    const QRect area = view()->viewport()->geometry();
    QVERIFY(area.contains(bar->geometry()) && bar->x() > area.center().x());
    const int gap = area.right() - bar->geometry().right();
    m_fx.window()->resize(m_fx.window()->width() + 100, m_fx.window()->height());
    QTRY_COMPARE_WITH_TIMEOUT(view()->viewport()->geometry().right(), area.right() + 100,
                              kHangGuardMs);
    QCOMPARE(view()->viewport()->geometry().right() - bar->geometry().right(), gap);

    QTest::keyClicks(findEdit(), "ALARM");
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/4"), kHangGuardMs);
    QTest::keyClick(findEdit(), Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QVERIFY(view()->extraSelections().isEmpty());
    QVERIFY(view()->hasFocus());
    const QTextCursor closedAt = view()->textCursor();
    QTest::keyClick(view(), Qt::Key_F3); // nothing to step through once closed
    QCOMPARE(view()->textCursor(), closedAt);
    QCOMPARE(view()->document()->toHtml(), html);
}

void CommandsTest::findFollowsNewListing()
{
    QVERIFY(listForFind(15));
    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(findEdit(), "alarm");
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/4"), kHangGuardMs);
    QVERIFY(listForFind(16));
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/1"), kHangGuardMs);
    QCOMPARE(view()->textCursor().selectedText(), QString("alarm"));
    QVERIFY(click("toolButton"));
    QVERIFY(findEdit()->isVisible());
    QCOMPARE(findStatus(), QString("1/1"));

    // The listing is read-only: keys that would edit it with the match selected change nothing.
    QVERIFY(listForFind(15));
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/4"), kHangGuardMs);
    const QString listing = view()->toPlainText();
    QApplication::clipboard()->setText("pasted");
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_X);
    QTest::keyClick(view(), Qt::Key_Backspace);
    QTest::keyClick(view(), Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(view(), Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(view(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(view()->toPlainText(), listing);
    QCOMPARE(view()->textCursor().selectedText(), QString("Alarm"));
    QCOMPARE(findStatus(), QString("1/4"));
}

bool CommandsTest::listLongDay()
{
    // A few screens of alarms on the 15th, two of them needles, each out of sight of the other.
    QList<Record> records;
    for (int i = 0; i < 240; ++i)
        records << Record{QTime(10, 0).addSecs(i).toString("2024-03-15 hh:mm:ss"), 3,
                          i % 100 == 60 ? "needle" : "filler"};
    return WindowTest::seedRecords(records) && WindowTest::activate(m_fx.openWindow()) &&
           listForFind(15);
}

// The alarms of WindowTest::seedLongDay(count), listed in a new window.
bool CommandsTest::listSeededLongDay(int count)
{
    if (!WindowTest::seedLongDay(count) || !WindowTest::activate(m_fx.openWindow()))
        return false;
    setDay(kDate);
    setCategory("comboBox", 3);
    return click("pushButton");
}

void CommandsTest::findWithoutMatchKeepsPlace_data()
{
    QTest::addColumn<QString>("first"); // typed first
    QTest::addColumn<bool>("step");     // then F3 from the listing, to the second needle
    QTest::addColumn<QString>("then");  // typed after that
    QTest::newRow("a match, then none") << "needle" << false << "x";
    QTest::newRow("never a match") << "qqq" << false << "";
    QTest::newRow("after a step") << "needle" << true << "x";
}

void CommandsTest::findWithoutMatchKeepsPlace()
{
    QFETCH(QString, first);
    QFETCH(bool, step);
    QFETCH(QString, then);
    QVERIFY(listLongDay());
    // The user's place: a selection near the end, the view scrolled there.
    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(view(), Qt::Key_Left, Qt::ShiftModifier);
    const QTextCursor place = view()->textCursor();
    const int scroll = view()->verticalScrollBar()->value();

    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(findEdit(), first);
    if (first == QLatin1String("needle"))
        QTRY_VERIFY_WITH_TIMEOUT(view()->verticalScrollBar()->value() != scroll,
                                 kHangGuardMs); // went to the first needle
    if (step)
        QTest::keyClick(view(), Qt::Key_F3);
    QTest::keyClicks(findEdit(), then);
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("无匹配"), kHangGuardMs);
    if (step) {
        QCOMPARE(view()->textCursor().selectionStart(),
                 view()->toPlainText().lastIndexOf("needle"));
        QCOMPARE(view()->textCursor().selectedText(), QString("needle"));
    } else {
        QCOMPARE(view()->textCursor(), place);
        QCOMPARE(view()->verticalScrollBar()->value(), scroll);
    }
}

void CommandsTest::liveUpdate_data()
{
    QTest::addColumn<bool>("on");
    QTest::addColumn<bool>("atEnd");   // the view at the end of the listing when records come
    QTest::addColumn<bool>("requery"); // a new query after live update was turned on
    QTest::newRow("on, at the end: follows") << true << true << false;
    QTest::newRow("on, scrolled up: stays") << true << false << false;
    QTest::newRow("on, after a new query") << true << true << true;
    QTest::newRow("off") << false << true << false;
}

void CommandsTest::liveUpdate()
{
    QFETCH(bool, on);
    QFETCH(bool, atEnd);
    QFETCH(bool, requery);
    QVERIFY(listLongDay());
    auto *live = m_fx.window()->findChild<QAction *>("liveUpdateAction");
    QVERIFY(live && live->isCheckable() && !live->isChecked());
    QCOMPARE(live->text(), QString("实时更新"));
    if (on)
        QTest::keyClick(view(), Qt::Key_L, Qt::ControlModifier);
    QCOMPARE(live->isChecked(), on);
    if (requery)
        QVERIFY(click("pushButton"));
    QScrollBar *bar = view()->verticalScrollBar();
    bar->setValue(atEnd ? bar->maximum() : bar->maximum() / 2);
    const int scroll = bar->value();
    const QString listing = view()->toPlainText();

    // Stored by another program: two of the listing (one with bytes that are no UTF-8), and others
    // of another category, another day, or with a stamp that the query's bounds never take.
    QVERIFY(WindowTest::execOnLog(
        "INSERT INTO SystemInfo(datetime, type, message) VALUES ('2024-03-15 23:00:00', 3, 'new'), "
        "('2024-03-15 23:00:01', 2, 'category'), ('2024-03-16 00:00:00', 3, 'next day'), "
        "(CAST('2024-03-15 23:00:02' AS BLOB), 3, 'blob'), (20240315, 3, 'number'), "
        "('2024-03-15 23:00:03', 3, X'E68AA5FF')"));
    const QString shown = listing + '\n' + recordText("2024-03-15 23:00:00", "new") + '\n' +
                          recordText("2024-03-15 23:00:03", QString::fromUtf8("\xE6\x8A\xA5\xFF"));
    QString expected = listing;
    if (on) {
        QTRY_COMPARE_WITH_TIMEOUT(view()->toPlainText(), shown, kWithinASecondMs);
        // Nothing twice, nothing more: a record stored after them comes next, and alone.
        const QString later = recordText("2024-03-15 23:00:04", "later");
        QVERIFY(WindowTest::execOnLog("INSERT INTO SystemInfo(datetime, type, message) VALUES "
                                      "('2024-03-15 23:00:04', 3, 'later')"));
        QTRY_VERIFY_WITH_TIMEOUT(view()->toPlainText().endsWith(later), kWithinASecondMs);
        expected = shown + '\n' + later;
    } else {
        // Nothing comes: the listing is not followed.
        const auto *feed = m_fx.window()->findChild<LiveFeed *>();
        QVERIFY(feed && !feed->isFollowing());
    }
    QCOMPARE(view()->toPlainText(), expected);
    QCOMPARE(bar->value(), atEnd ? bar->maximum() : scroll);
    QTest::keyClick(view(), Qt::Key_F5); // the same as the query reads it
    QVERIFY(WindowTest::waitForListing());
    QCOMPARE(view()->toPlainText(), on ? expected : shown);
}

// Another log moved over the followed one: listed afresh, and followed from there.
void CommandsTest::liveUpdateListsALogMovedOverIt()
{
    QVERIFY(listLongDay());
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    QVERIFY(TestLogFile::writeRecords(m_fx.filePath("other.db"),
                                      QList<Record>{{"2024-03-15 11:00:00", 3, "moved in"}}));
    QCOMPARE(std::rename(qPrintable(m_fx.filePath("other.db")), "dbLog.db"), 0);
    const QString moved = recordText("2024-03-15 11:00:00", "moved in");
    QTRY_COMPARE_WITH_TIMEOUT(view()->toPlainText(), moved, kWithinASecondMs);
    QVERIFY(WindowTest::execOnLog("INSERT INTO SystemInfo(datetime, type, message) VALUES "
                                  "('2024-03-15 11:00:01', 3, 'then')"));
    QTRY_COMPARE_WITH_TIMEOUT(view()->toPlainText(),
                              moved + '\n' + recordText("2024-03-15 11:00:01", "then"),
                              kWithinASecondMs);
}

void CommandsTest::refreshKeepsRecord()
{
    QVERIFY(listLongDay());
    const auto topStamp = [this] {
        const int block = view()->cursorForPosition(QPoint(0, 2)).blockNumber();
        return view()->document()->findBlockByNumber(block / 2 * 2).text(); // a record's stamp
    };
    view()->verticalScrollBar()->setValue(view()->verticalScrollBar()->maximum() / 2);
    const QString top = topStamp();
    // Another program prunes the oldest records and stores a new one.
    QVERIFY(WindowTest::execOnLog("DELETE FROM SystemInfo WHERE id <= 10"));
    QVERIFY(WindowTest::seedRecords({{"2024-03-15 23:00:00", 3, "new alarm"}}));
    // F5 runs the listing's own query, whatever the lists show now, and the status says which.
    setCategory("comboBox", 1);
    setDay(kDate.addDays(1));
    QTest::keyClick(view(), Qt::Key_F5);
    QVERIFY(WindowTest::waitForListing());
    QCOMPARE(status(), QString::fromUtf8("报警记录 · 2024-03-15 · 共 231 条记录"));
    QVERIFY(view()->toPlainText().startsWith("2024-03-15 10:00:10:\nfiller"));
    QVERIFY(view()->toPlainText().endsWith(recordText("2024-03-15 23:00:00", "new alarm")));
    QCOMPARE(topStamp(), top);
}

void CommandsTest::longListing_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("ordinary: whole") << RecordListing::kWholeLimit;
    QTest::newRow("one more: in part") << RecordListing::kWholeLimit + 1;
    QTest::newRow("300,000") << TestLogFile::heavyCount(300000);
}

void CommandsTest::queryInPreparation_data()
{
    QTest::addColumn<QString>("meanwhile"); // done while the 300,000 alarms of the 15th are read
    QTest::newRow("a query of another day") << QStringLiteral("another query");
    QTest::newRow("the window closed") << QStringLiteral("close");
    QTest::newRow("live update switched on") << QStringLiteral("live");
}

// A long listing is prepared while the window goes on: the wait cursor shows until it arrives, a
// later query replaces it, and the window may close or switch live update on meanwhile.
void CommandsTest::queryInPreparation()
{
    QFETCH(QString, meanwhile);
    const int count = TestLogFile::heavyCount(300000);
    QVERIFY(WindowTest::seedLongDay(count));
    QVERIFY(WindowTest::seedRecords({{QStringLiteral("2024-03-16 08:00:00"), 3, "next day"}}));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setCategory("comboBox", 3);
    setDay(kDate.addDays(1));
    QVERIFY(click("pushButton"));
    const QString next = recordText(QStringLiteral("2024-03-16 08:00:00"), "next day");
    auto *listing = view()->findChild<RecordListing *>();
    QCOMPARE(listing->listedCount(), 1);
    setDay(kDate);
    m_fx.window()->findChild<QAbstractButton *>("pushButton")->click();
    // Nothing new is shown before the event loop runs again, whatever the query's speed; the
    // listing shown has let its records go, and the view keeps its text meanwhile.
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(view()->toPlainText(), next);
    QCOMPARE(listing->listedCount(), 0);
    QCOMPARE(listing->recordText(0), QString());

    if (meanwhile == QLatin1String("close")) {
        m_fx.closeWindow();
        QVERIFY(!QApplication::overrideCursor());
        return;
    }
    if (meanwhile == QLatin1String("another query")) {
        // The replaced listing never comes. Queries run one at a time: it has ended before the
        // next one began, and what it could hand over is queued before the next one's.
        bool replacedShown = false;
        connect(view(), &QTextEdit::textChanged, this, [&] {
            replacedShown = replacedShown || view()->toPlainText().startsWith("2024-03-15");
        });
        setDay(kDate.addDays(1));
        QVERIFY(click("pushButton"));
        QCoreApplication::sendPostedEvents();
        disconnect(view(), &QTextEdit::textChanged, this, nullptr);
        QVERIFY(!replacedShown);
        QCOMPARE(view()->toPlainText(), next);
        return;
    }
    auto *live = m_fx.window()->findChild<QAction *>("liveUpdateAction");
    live->trigger();
    QVERIFY(WindowTest::waitForListing());
    QVERIFY(!listing->isNotice() && !listing->isWhole()); // the long listing
    QCOMPARE(listing->listedCount(), count);
    QVERIFY(WindowTest::seedRecords({{QStringLiteral("2024-03-15 23:59:59"), 3, "late"}}));
    QTRY_VERIFY_WITH_TIMEOUT(
        listing->wholeText().endsWith(recordText(QStringLiteral("2024-03-15 23:59:59"), "late")),
        kWithinASecondMs);
}

// A long listing through the real window: shown at once and settled, both ends and the middle
// reachable, found in and copied whole. Up to RecordListing::kWholeLimit records the view holds
// the whole listing text; beyond, a part, and the context menu copies the whole.
void CommandsTest::longListing()
{
    QFETCH(int, count);
    const bool whole = count <= RecordListing::kWholeLimit;
    const auto record = [count](int i) { return WindowTest::longDayRecordLines(count, i); };
    QVERIFY(listSeededLongDay(count));
    QTextEdit *v = view();
    QCOMPARE(WindowTest::linesOnScreen(v).mid(0, record(0).size()), record(0));
    QVERIFY(v->isReadOnly());
    auto *bar = m_fx.window()->findChild<QScrollBar *>("recordScrollBar");
    QVERIFY(bar && bar->isVisible() == !whole);
    if (!whole) {
        QCOMPARE(bar->maximum(), count - 1);
        QTRY_VERIFY_WITH_TIMEOUT(!WindowTest::layoutTimerRunning(v), kHangGuardMs);
    }

    v->setFocus();
    QTest::keyClick(v, Qt::Key_End, Qt::ControlModifier);
    const QStringList end = WindowTest::linesOnScreen(v);
    QCOMPARE(end.mid(end.size() - record(count - 1).size()), record(count - 1));
    QCOMPARE(v->textCursor().block().text(), record(count - 1).last());
    QVERIFY(v->textCursor().atEnd());
    QVERIFY(whole || bar->value() == count - 1);
    QTest::keyClick(v, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(WindowTest::linesOnScreen(v).mid(0, record(0).size()), record(0));
    QVERIFY(v->textCursor().atStart());
    QVERIFY(whole || bar->value() == 0);
    if (!whole) {
        // Dragged to the middle, then a page on: the records follow one another on screen.
        bar->setValue(count / 2);
        QCOMPARE(WindowTest::linesOnScreen(v).mid(0, record(count / 2).size()), record(count / 2));
        QCOMPARE(bar->value(), count / 2);
        for (int page = 0; page < 40; ++page)
            QTest::keyClick(v, Qt::Key_PageDown);
        const int top = bar->value();
        QVERIFY(top > count / 2 + 40);
        const QStringList lines = WindowTest::linesOnScreen(v);
        QVERIFY(record(top).contains(lines.first()));
        QVERIFY(lines.join('\n').contains(record(top + 1).join('\n') + '\n' +
                                          record(top + 2).join('\n')));
        QTest::keyClick(v, Qt::Key_Home, Qt::ControlModifier);
    }

    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(findEdit(), "ALARM");
    const int matches = (count + 6) / 7;
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/%1").arg(matches), kHangGuardMs);
    QCOMPARE(v->textCursor().block().text(), record(0).last());
    QCOMPARE(v->textCursor().selectedText(), QString("alarm"));
    QTest::keyClick(findEdit(), Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(findStatus(), QString("%1/%1").arg(matches));
    QCOMPARE(v->textCursor().block().text(), record((matches - 1) * 7).last());
    QCOMPARE(v->textCursor().selectedText(), QString("alarm"));
    QVERIFY(!v->extraSelections().isEmpty());

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20));
    QApplication::sendEvent(v->viewport(), &event);
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    QVERIFY(menu);
    QCOMPARE(menu->actions().last()->text(), QString("查找"));
    QAction *copyAll = nullptr;
    for (QAction *action : menu->actions())
        copyAll = action->text() == QString("复制全部") ? action : copyAll;
    QCOMPARE(copyAll == nullptr, whole);
    if (copyAll)
        copyAll->trigger();
    menu->close();
    QStringList all;
    for (int i = 0; i < count; ++i)
        all << record(i).join('\n');
    QCOMPARE(whole ? v->toPlainText() : QApplication::clipboard()->text(), all.join('\n'));
}

void CommandsTest::appendedRows_data()
{
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("added");
    QTest::newRow("whole stays whole") << 3 << 2;
    QTest::newRow("whole becomes part") << RecordListing::kWholeLimit - 1 << 5;
    QTest::newRow("part grows") << RecordListing::kWholeLimit + 5 << 300;
}

// Records that live update adds to a listing on screen: the screen stays where it was, the end
// shows them, the listing text is that of all the records.
void CommandsTest::appendedRows()
{
    QFETCH(int, shown);
    QFETCH(int, added);
    const int count = shown + added;
    QList<Record> records;
    QStringList all;
    for (int i = 0; i < count; ++i) {
        const QString text = WindowTest::longDayRecordText(count, i);
        records << Record{text.section(":\n", 0, 0), 3, text.section(":\n", 1)};
        all << text;
    }
    QVERIFY(WindowTest::seedRecords(records.mid(0, shown)));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setDay(kDate);
    setCategory("comboBox", 3);
    QVERIFY(click("pushButton"));
    auto *listing = view()->findChild<RecordListing *>();
    listing->positionAt(shown / 2);
    const int top = listing->topRecord();
    QVERIFY(top == shown / 2 || shown < 10); // a few records fit on one screen
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    QVERIFY(WindowTest::seedRecords(records.mid(shown)));
    QTRY_COMPARE_WITH_TIMEOUT(listing->recordCount(), count, kWithinASecondMs);
    QCOMPARE(listing->topRecord(), top);
    QCOMPARE(listing->isWhole(), count <= RecordListing::kWholeLimit);
    QCOMPARE(listing->isWhole() ? view()->toPlainText() : listing->wholeText(),
             all.join('\n').replace("\r\n", "\n"));
    listing->positionAtEnd();
    QCOMPARE(view()->textCursor().block().text(),
             WindowTest::longDayRecordText(count, count - 1).section('\n', -1));
}

void CommandsTest::queryAgainAfterScrolling_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("move"); // how the view leaves the top before the next query
    for (const int count : {5000, TestLogFile::heavyCount(20000)}) {
        const QByteArray size = count <= RecordListing::kWholeLimit ? "whole" : "long";
        for (const char *move : {"Ctrl+End", "PageDown", "wheel", "F5"})
            QTest::newRow(size + ", " + move) << count << QString(move);
    }
}

// A listing replaced while the view is scrolled: the next query shows the new one from its top.
void CommandsTest::queryAgainAfterScrolling()
{
    QFETCH(int, count);
    QFETCH(QString, move);
    const auto record = [count](int i) { return WindowTest::longDayRecordLines(count, i); };
    QVERIFY(listSeededLongDay(count));
    QTextEdit *v = view();
    QScrollBar *own = v->verticalScrollBar();
    if (move == QLatin1String("F5")) {
        QTest::keyClick(v, Qt::Key_F5);
        QVERIFY(WindowTest::waitForListing());
    } else {
        moveView(move);
    }
    QVERIFY(move == QLatin1String("F5") || own->value() > 0);

    for (int query = 0; query < 2; ++query) {
        QVERIFY(click("pushButton"));
        QCOMPARE(own->value(), 0);
        QCOMPARE(WindowTest::linesOnScreen(v).mid(0, record(0).size()), record(0));
        QTest::keyClick(v, Qt::Key_End, Qt::ControlModifier);
        const QStringList end = WindowTest::linesOnScreen(v);
        QCOMPARE(end.mid(end.size() - record(count - 1).size()), record(count - 1));
        QVERIFY(v->textCursor().atEnd());
    }
}

// Queries one after another as an operator makes them, live update on: each listing replaced while
// the view is scrolled somewhere, refreshed, typed over while it is read, added to, found in. Also
// run under valgrind's memcheck (CTest label "memcheck"), which sees invalid accesses inside Qt.
void CommandsTest::querySequence()
{
    const int longCount = RecordListing::kWholeLimit + 1;
    QVERIFY(WindowTest::seedLongDay(longCount));
    QList<Record> day16;
    for (int i = 0; i < 300; ++i)
        day16 << Record{QTime(8, 0).addSecs(i * 60).toString("2024-03-16 hh:mm:ss"), 3,
                        QString::fromUtf8("第 %1 条 alarm").arg(i)};
    QVERIFY(WindowTest::seedRecords(day16));
    // Each day's records as the listing holds them: the first one and how many (none on the 17th).
    QMap<int, QPair<QString, int>> days{
        {15, {WindowTest::longDayRecordLines(longCount, 0).join('\n'), longCount}},
        {16, {recordText(day16[0].datetime, day16[0].message), int(day16.size())}},
        {17, {QString(), 0}}};
    struct Step
    {
        int day;
        const char *move;
    };
    const Step steps[] = {{15, "Ctrl+End"}, {16, "PageDown"}, {15, "wheel"},    {15, "F5"},
                          {16, "Ctrl+End"}, {17, "F5"},       {16, "wheel"},    {15, "bar"},
                          {16, "find"},     {15, "PageDown"}, {16, "Ctrl+End"}, {15, "F5"}};
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setDay(kDate);
    setCategory("comboBox", 3);
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    // The timeline counts each listing beside it and takes the live records too.
    m_fx.window()->findChild<QAction *>("timelineAction")->trigger();
    auto *listing = view()->findChild<RecordListing *>();
    auto *date = m_fx.window()->findChild<QDateEdit *>("dateEdit");
    auto *category = m_fx.window()->findChild<QComboBox *>("comboBox");
    QTextEdit *v = view();
    bool finding = false;
    const int stepCount = int(std::size(steps));
    for (int i = 0; i < 2 * stepCount; ++i) { // twice; from the find step on with the bar open
        const Step &step = steps[i % stepCount];
        QCOMPARE(date->date().day(), step.day);
        m_fx.window()->findChild<QAbstractButton *>("pushButton")->click();
        // Typed while the listing is read: the next step's day, and another category and back.
        QVERIFY(QApplication::overrideCursor());
        date->setCurrentSection(QDateTimeEdit::DaySection);
        const int next = steps[(i + 1) % stepCount].day;
        for (int d = step.day; d != next; d += next > d ? 1 : -1)
            QTest::keyClick(date, next > d ? Qt::Key_Up : Qt::Key_Down);
        QTest::keyClick(category, Qt::Key_Down);
        QTest::keyClick(category, Qt::Key_Up);
        QVERIFY(WindowTest::waitForListing());
        const auto [first, count] = days[step.day];
        const QString top = count ? first : QString::fromUtf8("没有找到相关记录");
        QCOMPARE(listing->recordCount(), count);
        QCOMPARE(count ? listing->recordText(0) : v->toPlainText(), top);
        if (!finding)
            QCOMPARE(WindowTest::linesOnScreen(v).value(0), top.section('\n', 0, 0));

        const QString move = QLatin1String(step.move);
        if (move == QLatin1String("bar")) {
            m_fx.window()->findChild<QScrollBar *>("recordScrollBar")->setValue(count / 2);
        } else if (move == QLatin1String("find")) {
            QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
            QTest::keyClicks(findEdit(), "alarm");
            QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/%1").arg(day16.size()),
                                      kHangGuardMs);
            // Matches only, on and off: every record of the 16th matches.
            auto *only = m_fx.window()->findChild<QCheckBox *>("matchesOnly");
            only->click();
            moveView("Ctrl+End");
            only->click();
            QCOMPARE(listing->recordCount(), count);
            finding = true;
        } else if (move == QLatin1String("F5")) {
            const int shown = listing->topRecord();
            v->setFocus();
            QTest::keyClick(v, Qt::Key_F5);
            QVERIFY(WindowTest::waitForListing());
            QCOMPARE(listing->recordCount(), count);
            QCOMPARE(listing->topRecord(), shown);
        } else {
            moveView(move, 3);
        }

        // Stored by another program while the view is where the move left it.
        const QString stamp = QString("2024-03-%1 23:59:%2").arg(step.day).arg(10 + i);
        const QString message = QString("live %1").arg(i);
        QVERIFY(WindowTest::seedRecords({{stamp, 3, message}}));
        QTRY_COMPARE_WITH_TIMEOUT(listing->recordCount(), count + 1, kHangGuardMs);
        QCOMPARE(listing->recordText(count), recordText(stamp, message));
        days[step.day] = {count ? first : recordText(stamp, message), count + 1};
    }
}

void CommandsTest::firstRecordAtOrAfter_data()
{
    QTest::addColumn<int>("record"); // of the long day, its stamp moved by
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("first"); // the record expected
    const int last = RecordListing::kWholeLimit;
    QTest::newRow("before the first") << 0 << -3600 << 0;
    QTest::newRow("the first") << 0 << 0 << 0;
    QTest::newRow("just before one") << 5000 << -1 << 5000;
    QTest::newRow("one's own") << 5000 << 0 << 5000;
    QTest::newRow("just after one") << 5000 << 1 << 5001;
    QTest::newRow("the last") << last << 0 << last;
    QTest::newRow("after the last") << last << 1 << last + 1;
}

// The first record of a long listing stamped at or after a moment, as a timeline asks for it.
void CommandsTest::firstRecordAtOrAfter()
{
    QFETCH(int, record);
    QFETCH(int, seconds);
    QFETCH(int, first);
    const int count = RecordListing::kWholeLimit + 1;
    QVERIFY(WindowTest::seedLongDay(count));
    m_fx.openWindow();
    setDay(kDate);
    setCategory("comboBox", 3);
    QVERIFY(click("pushButton"));
    const QString stamp =
        QDateTime::fromString(WindowTest::longDayRecordLines(count, record).first().chopped(1),
                              "yyyy-MM-dd hh:mm:ss")
            .addSecs(seconds)
            .toString("yyyy-MM-dd hh:mm:ss");
    auto *listing = view()->findChild<RecordListing *>();
    QCOMPARE(listing->firstRecordAtOrAfter(stamp), first);
}

void CommandsTest::matchesOnly_data()
{
    QTest::addColumn<int>("count"); // 0: the alarms of findRecords()
    QTest::newRow("whole") << 0;
    QTest::newRow("long") << RecordListing::kWholeLimit + 1;
}

// With matches only, the listing shows the records that match, and off again the whole listing
// at the record that was on screen.
void CommandsTest::matchesOnly()
{
    QFETCH(int, count);
    if (count) {
        QVERIFY(WindowTest::seedLongDay(count));
        QVERIFY(WindowTest::activate(m_fx.openWindow()));
    }
    QVERIFY(listForFind(15));
    auto *listing = view()->findChild<RecordListing *>();
    const int all = listing->recordCount();
    // "alarm" in every seventh record of a long day; in three of the alarms, once twice.
    const int records = count ? (count + 6) / 7 : 3;
    const int matches = count ? records : 4;
    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(findEdit(), "alarm");
    QTRY_COMPARE_WITH_TIMEOUT(findStatus(), QString("1/%1").arg(matches), kHangGuardMs);
    auto *only = m_fx.window()->findChild<QCheckBox *>("matchesOnly");
    QVERIFY(only && !only->isChecked());
    QCOMPARE(only->text(), QString("仅显示匹配"));

    only->click();
    QCOMPARE(listing->recordCount(), records);
    for (const int row : {0, records / 2, records - 1})
        QVERIFY(listing->recordText(row).contains("alarm", Qt::CaseInsensitive));
    QCOMPARE(findStatus(), QString("1/%1").arg(matches));
    if (!count)
        QCOMPARE(view()->toPlainText().count("\n") + 1, 2 * records);
    const QString second = listing->recordText(1);
    QCOMPARE(listing->firstRecordAtOrAfter(second.left(19)), 1);
    // A record stored meanwhile shows when it matches.
    m_fx.window()->findChild<QAction *>("liveUpdateAction")->trigger();
    QVERIFY(WindowTest::seedRecords(
        {{"2024-03-15 23:59:59", 3, "late ALARM"}, {"2024-03-15 23:59:59", 3, "late, other"}}));
    QTRY_COMPARE_WITH_TIMEOUT(listing->listedCount(), all + 2, kWithinASecondMs);
    QTRY_COMPARE_WITH_TIMEOUT(listing->recordCount(), records + 1, kHangGuardMs);
    QCOMPARE(listing->recordText(records), recordText("2024-03-15 23:59:59", "late ALARM"));
    // Another text: the records that match it.
    QTest::keyClicks(findEdit(), " ");
    QTRY_COMPARE_WITH_TIMEOUT(listing->recordCount(), count ? 0 : 2, kHangGuardMs);
    QTest::keyClick(findEdit(), Qt::Key_Backspace);
    QTRY_COMPARE_WITH_TIMEOUT(listing->recordCount(), records + 1, kHangGuardMs);
    listing->positionAt(records - 2);
    const QString onScreen = listing->recordText(listing->topRecord());

    only->click();
    QCOMPARE(listing->recordCount(), all + 2);
    QCOMPARE(listing->recordText(listing->topRecord()), onScreen);
}

void CommandsTest::fileChangesUnderListing_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("records pruned") << QStringLiteral("pruned");
    QTest::newRow("records made another category") << QStringLiteral("changed");
    QTest::newRow("another log moved over it") << QStringLiteral("replaced");
    QTest::newRow("set aside") << QStringLiteral("set aside");
    QTest::newRow("held by another program") << QStringLiteral("locked");
    QTest::newRow("cut short") << QStringLiteral("cut short");
}

// A long listing reads the records it shows from the file it was listed from: records pruned
// meanwhile show as marked gaps, and another file at the path is never read for it.
void CommandsTest::fileChangesUnderListing()
{
    QFETCH(QString, change);
    const int count = RecordListing::kWholeLimit + 1;
    const auto record = [count](int i) { return WindowTest::longDayRecordLines(count, i); };
    QVERIFY(WindowTest::seedLongDay(count));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setDay(kDate);
    setCategory("comboBox", 3);
    QVERIFY(click("pushButton"));
    const int middle = count / 2;
    const bool gaps = change == QLatin1String("pruned") || change == QLatin1String("changed");
    if (gaps) {
        // Records middle + 1 to middle + 3 (ids count from 1).
        const QString ids = QString("WHERE id > %1 AND id <= %2").arg(middle + 1).arg(middle + 4);
        QVERIFY(WindowTest::execOnLog(change == QLatin1String("pruned")
                                          ? "DELETE FROM SystemInfo " + ids
                                          : "UPDATE SystemInfo SET type = 2 " + ids));
    } else if (change == QLatin1String("replaced")) {
        // The same ids and stamps, other messages.
        QList<Record> other;
        for (int i = 0; i < count; ++i)
            other << Record{record(i).first().chopped(1), 3, QStringLiteral("other log")};
        QVERIFY(TestLogFile::writeRecords(m_fx.filePath("other.db"), other));
        QCOMPARE(std::rename("other.db", "dbLog.db"), 0);
    } else if (change == QLatin1String("set aside")) {
        QVERIFY(QFile::rename("dbLog.db", "dbLog.old.db"));
    }
    if (change == QLatin1String("cut short")) {
        // What cannot be read shows why, in the records' places; nothing else is shown for them.
        QVERIFY(QFile::resize("dbLog.db", QFileInfo("dbLog.db").size() / 2));
        const int late = count * 9 / 10; // in the part cut off
        m_fx.window()->findChild<QScrollBar *>("recordScrollBar")->setValue(late);
        const QStringList lines = WindowTest::linesOnScreen(view());
        QCOMPARE(lines.value(0), record(late).first());
        QVERIFY2(lines.value(1).startsWith(QString::fromUtf8("〔无法读取此记录：")),
                 qPrintable(lines.value(1)));
        return;
    }
    WindowTest::LogLock lock;
    if (change == QLatin1String("locked")) {
        // Marked as busy while another program holds the file, read once it lets go.
        QVERIFY(lock.take());
        m_fx.window()->findChild<QScrollBar *>("recordScrollBar")->setValue(middle);
        const QStringList busy{record(middle).first(),
                               QString::fromUtf8("〔日志文件正被其他程序占用，稍后再读〕")};
        QCOMPARE(WindowTest::linesOnScreen(view()).mid(0, 2), busy);
        lock.release();
        QTRY_COMPARE_WITH_TIMEOUT(WindowTest::linesOnScreen(view()).mid(0, record(middle).size()),
                                  record(middle), kHangGuardMs);
        return;
    }
    m_fx.window()->findChild<QScrollBar *>("recordScrollBar")->setValue(middle);
    const QStringList lines = WindowTest::linesOnScreen(view());
    QCOMPARE(lines.mid(0, record(middle).size()), record(middle));
    if (gaps) {
        const QStringList gap{record(middle + 1).first(),
                              QString::fromUtf8("〔此记录已不在日志中〕")};
        QCOMPARE(lines.mid(record(middle).size(), 2), gap);
        QVERIFY(view()->toPlainText().contains(record(middle + 4).join('\n')));
    } else {
        QVERIFY(!view()->toPlainText().contains("other log"));
        QVERIFY(lines.join('\n').contains(record(middle + 1).join('\n')));
        // Nor does the timeline count the file now at the path for it.
        m_fx.window()->findChild<QAction *>("timelineAction")->trigger();
        auto *strip = m_fx.window()->findChild<TimelineStrip *>();
        QTRY_VERIFY_WITH_TIMEOUT(strip->notice() != QString::fromUtf8("正在统计…"), kHangGuardMs);
        QVERIFY2(strip->notice().startsWith(QString::fromUtf8("无法统计：")),
                 qPrintable(strip->notice()));
        QCOMPARE(strip->buckets().total(), 0);
    }
}

void CommandsTest::longRecordCut_data()
{
    QTest::addColumn<QString>("dump");
    QString lines;
    for (int line = 0; lines.size() < 3 << 20; ++line)
        lines += QStringLiteral("line %1 of a register dump 0123456789abcdef\n").arg(line, 6);
    QTest::newRow("3 MiB of lines") << lines + QStringLiteral("the end");
    // Without a place to break the line, the view would take seconds to lay out even this.
    QTest::newRow("one word of 100 KiB") << QStringLiteral("0123456789abcdef").repeated(6400);
}

// A record longer than the view lays out shows its beginning with a mark; copying it gives all.
void CommandsTest::longRecordCut()
{
    QFETCH(QString, dump);
    QVERIFY(WindowTest::seedRecords(
        {{"2024-03-15 10:00:00", 3, dump}, {"2024-03-15 10:00:01", 3, "next"}}));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    setDay(kDate);
    setCategory("comboBox", 3);
    QVERIFY(click("pushButton"));
    const QString shown = view()->toPlainText();
    const QString whole =
        recordText("2024-03-15 10:00:00", dump) + '\n' + recordText("2024-03-15 10:00:01", "next");
    QVERIFY(shown.size() < dump.size() / 4);
    QVERIFY(shown.startsWith(whole.left(1000)));
    QVERIFY(shown.contains(QString::fromUtf8("〔此记录过长")));
    QVERIFY(shown.endsWith("\nnext"));

    view()->setFocus();
    QTest::keyClick(view(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), whole);
    // From within the part shown to the end of the record: the rest of it, whole.
    QTextCursor cursor(view()->document());
    cursor.setPosition(100);
    cursor.setPosition(shown.indexOf("\nnext"), QTextCursor::KeepAnchor);
    view()->setTextCursor(cursor);
    QTest::keyClick(view(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), whole.mid(100, whole.indexOf("\nnext") - 100));
    auto *listing = view()->findChild<RecordListing *>();
    QCOMPARE(listing->wholeText(), whole);
}

QTEST_MAIN(CommandsTest)
#include "tst_commands.moc"
