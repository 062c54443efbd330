// Finding in the listing: opening the find bar, counting and stepping through the matches,
// following a new listing, and closing the bar with the listing left as it was.

#include "Tallyview.h"
#include "WindowTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

using WindowTest::Fixture;

class FindTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void stepsThroughMatches_data();
    void stepsThroughMatches();
    void opensAndCloses_data();
    void opensAndCloses();
    void followsNewListing();

private:
    QTextEdit *view() const { return m_fx.window()->findChild<QTextEdit *>("textEdit"); }
    QLineEdit *field() const { return m_fx.window()->findChild<QLineEdit *>("findEdit"); }
    QString status() const { return m_fx.window()->findChild<QLabel *>("findStatus")->text(); }
    void queryDay(int day) const;

    Fixture m_fx;
};

void FindTest::init()
{
    QVERIFY(m_fx.setUp());
    const QString alarms[] = {"Alarm E42: motor overcurrent", "alarm cleared, ALARM log saved, abc",
                              "参数 a.c 已修改，报警复位", "报警：急停 alarm"};
    QList<WindowTest::Record> records{{"2024-03-16 07:00:00", 3, "alarm again"},
                                      {"2024-03-15 07:00:00", 2, "no alarm here"}};
    for (int i = 0; i < 4; ++i)
        records << WindowTest::Record{QString("2024-03-15 1%1:00:00").arg(i), 3, alarms[i]};
    QVERIFY(WindowTest::seedRecords(records));
    QVERIFY(WindowTest::activate(m_fx.openWindow()));
    queryDay(15);
}

void FindTest::cleanup()
{
    m_fx.tearDown();
}

void FindTest::queryDay(int day) const
{
    m_fx.window()->findChild<QDateEdit *>("dateEdit")->setDate(QDate(2024, 3, day));
    m_fx.window()->findChild<QComboBox *>("comboBox")->setCurrentIndex(3);
    m_fx.window()->findChild<QAbstractButton *>("pushButton")->click();
}

void FindTest::stepsThroughMatches_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("cursorBlock");   // where the view's cursor is when the bar opens
    QTest::addColumn<QList<int>>("blocks"); // the block of each match, in order
    QTest::addColumn<int>("first");         // the match selected first
    QTest::newRow("any case") << "ALARM" << 0 << QList<int>{1, 3, 3, 7} << 0;
    QTest::newRow("after the cursor") << "alarm" << 4 << QList<int>{1, 3, 3, 7} << 3;
    QTest::newRow("wraps from the cursor") << "e42" << 7 << QList<int>{1} << 0;
    QTest::newRow("Chinese") << "报警" << 0 << QList<int>{5, 7} << 0;
    QTest::newRow("time stamp") << "12:00" << 0 << QList<int>{4} << 0;
    QTest::newRow("no pattern") << "a.c" << 0 << QList<int>{5} << 0;
    QTest::newRow("no match") << "xyz" << 0 << QList<int>{} << -1;
}

void FindTest::stepsThroughMatches()
{
    QFETCH(QString, word);
    QFETCH(int, cursorBlock);
    QFETCH(QList<int>, blocks);
    QFETCH(int, first);
    const QString listing = view()->toPlainText();
    view()->setTextCursor(QTextCursor(view()->document()->findBlockByNumber(cursorBlock)));
    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(field() && field()->hasFocus());
    WindowTest::typeText(field(), word);
    const int n = blocks.size();
    QTRY_COMPARE(status(), n ? QString("%1/%2").arg(first + 1).arg(n) : QString("无匹配"));

    // Forward past the last match and back past the first, with both keys of each direction.
    int index = first;
    for (int i = 0; n && i < 2 * n + 2; ++i) {
        const QTextCursor cursor = view()->textCursor();
        QCOMPARE(status(), QString("%1/%2").arg(index + 1).arg(n));
        QCOMPARE(cursor.block().blockNumber(), blocks.at(index));
        QCOMPARE(cursor.selectedText().compare(word, Qt::CaseInsensitive), 0);
        QCOMPARE(listing.mid(cursor.selectionStart(), word.size()), cursor.selectedText());
        bool highlighted = false;
        for (const QTextEdit::ExtraSelection &s : view()->extraSelections()) {
            QCOMPARE(s.cursor.selectedText().compare(word, Qt::CaseInsensitive), 0);
            highlighted |= s.cursor.selectionStart() == cursor.selectionStart();
        }
        QVERIFY(highlighted);
        const int direction = i <= n ? 1 : -1;
        QTest::keyClick(field(), i % 2 ? Qt::Key_Return : Qt::Key_F3,
                        direction < 0 ? Qt::ShiftModifier : Qt::NoModifier);
        index = (index + direction + n) % n;
    }
    QCOMPARE(view()->toPlainText(), listing);
}

void FindTest::opensAndCloses_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("Ctrl+F") << false;
    QTest::newRow("context menu") << true;
}

void FindTest::opensAndCloses()
{
    QFETCH(bool, fromMenu);
    QVERIFY(!field()); // made when first opened
    const QString html = view()->document()->toHtml();
    if (fromMenu) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20));
        QApplication::sendEvent(view()->viewport(), &event);
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu && menu->findChild<QAction *>("select-all"));
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
    QVERIFY(field() && field()->isVisible() && field()->hasFocus());
    QCOMPARE(field()->placeholderText(), QString("查找"));
    QWidget *bar = field()->parentWidget();
    const QRect area = view()->viewport()->geometry();
    QVERIFY(area.contains(bar->geometry()) && bar->x() > area.center().x());
    const int gap = area.right() - bar->geometry().right();
    m_fx.window()->resize(m_fx.window()->width() + 100, m_fx.window()->height());
    QTRY_COMPARE(view()->viewport()->geometry().right(), area.right() + 100);
    QCOMPARE(view()->viewport()->geometry().right() - bar->geometry().right(), gap);

    WindowTest::typeText(field(), "ALARM");
    QTRY_COMPARE(status(), QString("1/4"));
    QTest::keyClick(field(), Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QVERIFY(view()->extraSelections().isEmpty());
    QVERIFY(view()->hasFocus());
    QCOMPARE(view()->document()->toHtml(), html);
}

void FindTest::followsNewListing()
{
    QTest::keyClick(m_fx.window(), Qt::Key_F, Qt::ControlModifier);
    WindowTest::typeText(field(), "alarm");
    QTRY_COMPARE(status(), QString("1/4"));
    queryDay(16);
    QTRY_COMPARE(status(), QString("1/1"));
    QCOMPARE(view()->textCursor().selectedText(), QString("alarm"));
    queryDay(17);
    QTRY_COMPARE(status(), QString("无匹配"));
    m_fx.window()->findChild<QAbstractButton *>("toolButton")->click();
    QVERIFY(field()->isVisible());
    QCOMPARE(status(), QString("无匹配"));
}

QTEST_MAIN(FindTest)
#include "tst_find.moc"
