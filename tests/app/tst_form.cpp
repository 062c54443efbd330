// The window's form: objects, grid cells, fonts, texts and properties that the commands and the
// user rely on.

#include "Tallyview.h"
#include "WindowTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>

using WindowTest::Fixture;

namespace {

QGridLayout *gridOf(QWidget *root, const QString &name)
{
    return root->findChild<QGridLayout *>(name);
}

// Default font of the test application; the form's 11-point font must differ from it.
const int kAppPointSize = 8;

} // namespace

class FormTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void windowFrame();
    void widgetCells_data();
    void widgetCells();
    void spacers_data();
    void spacers();
    void layoutSpacing_data();
    void layoutSpacing();
    void creationOrder_data();
    void creationOrder();
    void fonts_data();
    void fonts();
    void texts_data();
    void texts();
    void labelAlignment_data();
    void labelAlignment();
    void sizePolicies_data();
    void sizePolicies();
    void editorProperties();
    void extraHeightGoesToTheView();

private:
    Fixture m_fx;
};

void FormTest::initTestCase()
{
    QFont font = QApplication::font();
    font.setPointSize(kAppPointSize);
    QApplication::setFont(font);
}

void FormTest::init()
{
    QVERIFY(m_fx.setUp());
    QVERIFY(m_fx.openWindow(false));
}

void FormTest::cleanup()
{
    m_fx.tearDown();
}

void FormTest::windowFrame()
{
    Tallyview *w = m_fx.window();
    QCOMPARE(w->objectName(), QStringLiteral("TallyviewClass"));
    QCOMPARE(w->size(), QSize(798, 654));
    QCOMPARE(w->windowTitle(), QString::fromUtf8("系统日志查询工具"));
    QVERIFY(!w->windowIcon().isNull());
    QVERIFY(!w->windowIcon().availableSizes().isEmpty());
    QCOMPARE(w->centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QVERIFY(!w->findChild<QMenuBar *>());
    QVERIFY(!w->findChild<QToolBar *>());
    // The status line is the window's own, made after the form: the form makes none.
    QCOMPARE(w->statusBar()->objectName(), QStringLiteral("statusLine"));
    QMainWindow bare;
    Ui::TallyviewClass form;
    form.setupUi(&bare);
    QVERIFY(!bare.findChild<QStatusBar *>());

    auto *stack = w->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    QVERIFY(stack);
    QCOMPARE(stack->count(), 2);
    QCOMPARE(stack->widget(0)->objectName(), QStringLiteral("page"));
    QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("page_2"));
    QCOMPARE(stack->currentIndex(), 0);
}

void FormTest::widgetCells_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");

    auto row = [](const char *name, const char *cls, const char *parent, const char *layout, int r,
                  int c, int rs, int cs) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromLatin1(parent) << QString::fromLatin1(layout) << r << c
                            << rs << cs;
    };
    row("stackedWidget", "QStackedWidget", "centralWidget", "gridLayout_2", 0, 0, 1, 1);
    row("textEdit", "QTextEdit", "centralWidget", "gridLayout_2", 1, 0, 1, 1);
    row("toolButton", "QToolButton", "page", "gridLayout", 0, 3, 1, 1);
    row("pushButton", "QPushButton", "page", "gridLayout", 0, 2, 1, 1);
    row("comboBox", "QComboBox", "page", "gridLayout", 0, 1, 1, 1);
    row("label", "QLabel", "page", "gridLayout", 0, 0, 1, 1);
    row("label_2", "QLabel", "page", "gridLayout", 1, 0, 1, 1);
    row("dateEdit", "QDateEdit", "page", "gridLayout", 1, 1, 1, 1);
    row("m_pbExport", "QPushButton", "page", "gridLayout", 1, 5, 1, 1);
    row("toolButton_2", "QToolButton", "page_2", "gridLayout_3", 0, 4, 1, 2);
    row("m_enddateTimeEdit", "QDateTimeEdit", "page_2", "gridLayout_3", 2, 1, 1, 1);
    row("m_startdateTimeEdit", "QDateTimeEdit", "page_2", "gridLayout_3", 1, 1, 1, 1);
    row("label_5", "QLabel", "page_2", "gridLayout_3", 2, 0, 1, 1);
    row("label_3", "QLabel", "page_2", "gridLayout_3", 0, 0, 1, 1);
    row("comboBox_2", "QComboBox", "page_2", "gridLayout_3", 0, 1, 1, 1);
    row("pushButton_2", "QPushButton", "page_2", "gridLayout_3", 0, 2, 1, 2);
    row("label_4", "QLabel", "page_2", "gridLayout_3", 1, 0, 1, 1);
}

void FormTest::widgetCells()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parent);
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);

    Tallyview *w = m_fx.window();
    QList<QWidget *> matches = w->findChildren<QWidget *>(name);
    QCOMPARE(matches.size(), 1);
    QWidget *widget = matches.first();
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parent);

    QGridLayout *grid = gridOf(w, layout);
    QVERIFY(grid);
    QCOMPARE(grid->parentWidget()->objectName(), parent);
    const int index = grid->indexOf(widget);
    QVERIFY(index >= 0);
    int r = -1, c = -1, rs = -1, cs = -1;
    grid->getItemPosition(index, &r, &c, &rs, &cs);
    QCOMPARE(r, row);
    QCOMPARE(c, column);
    QCOMPARE(rs, rowSpan);
    QCOMPARE(cs, columnSpan);
    QCOMPARE(grid->itemAt(index)->alignment(), Qt::Alignment());
}

void FormTest::spacers_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::newRow("page 0") << QStringLiteral("gridLayout") << 0 << 4;
    QTest::newRow("page 1") << QStringLiteral("gridLayout_3") << 0 << 6;
}

void FormTest::spacers()
{
    QFETCH(QString, layout);
    QFETCH(int, row);
    QFETCH(int, column);

    QGridLayout *grid = gridOf(m_fx.window(), layout);
    QVERIFY(grid);
    QLayoutItem *item = grid->itemAtPosition(row, column);
    QVERIFY(item);
    QSpacerItem *spacer = item->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(40, 20));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->expandingDirections(), Qt::Horizontal);

    // Exactly one spacer per page.
    int spacerCount = 0;
    for (int i = 0; i < grid->count(); ++i)
        spacerCount += grid->itemAt(i)->spacerItem() ? 1 : 0;
    QCOMPARE(spacerCount, 1);
}

void FormTest::layoutSpacing_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<int>("margin");
    QTest::addColumn<int>("items");
    QTest::newRow("gridLayout_2") << QStringLiteral("gridLayout_2") << 6 << 11 << 2;
    QTest::newRow("gridLayout") << QStringLiteral("gridLayout") << 5 << 5 << 8;
    QTest::newRow("gridLayout_3") << QStringLiteral("gridLayout_3") << 5 << 5 << 9;
}

void FormTest::layoutSpacing()
{
    QFETCH(QString, layout);
    QFETCH(int, spacing);
    QFETCH(int, margin);
    QFETCH(int, items);

    QGridLayout *grid = gridOf(m_fx.window(), layout);
    QVERIFY(grid);
    QCOMPARE(grid->horizontalSpacing(), spacing);
    QCOMPARE(grid->verticalSpacing(), spacing);
    QCOMPARE(grid->contentsMargins(), QMargins(margin, margin, margin, margin));
    QCOMPARE(grid->count(), items);
}

void FormTest::creationOrder_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QStringList>("children");
    QTest::newRow("centralWidget")
        << QStringLiteral("centralWidget")
        << QStringList{QStringLiteral("gridLayout_2"), QStringLiteral("stackedWidget"),
                       QStringLiteral("textEdit")};
    QTest::newRow("page") << QStringLiteral("page")
                          << QStringList{
                                 QStringLiteral("gridLayout"), QStringLiteral("toolButton"),
                                 QStringLiteral("pushButton"), QStringLiteral("comboBox"),
                                 QStringLiteral("label"),      QStringLiteral("label_2"),
                                 QStringLiteral("dateEdit"),   QStringLiteral("m_pbExport")};
    // The end editor comes before the start editor, although it is placed below it.
    QTest::newRow("page_2") << QStringLiteral("page_2")
                            << QStringList{QStringLiteral("gridLayout_3"),
                                           QStringLiteral("toolButton_2"),
                                           QStringLiteral("m_enddateTimeEdit"),
                                           QStringLiteral("m_startdateTimeEdit"),
                                           QStringLiteral("label_5"),
                                           QStringLiteral("label_3"),
                                           QStringLiteral("comboBox_2"),
                                           QStringLiteral("pushButton_2"),
                                           QStringLiteral("label_4")};
}

void FormTest::creationOrder()
{
    QFETCH(QString, parent);
    QFETCH(QStringList, children);

    QWidget *p = m_fx.window()->findChild<QWidget *>(parent);
    QVERIFY(p);
    QStringList names;
    for (QObject *child : p->children()) {
        if (!child->objectName().isEmpty() && (child->isWidgetType() || child->inherits("QLayout")))
            names << child->objectName();
    }
    QCOMPARE(names, children);
}

void FormTest::fonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pointSize");
    const char *const styled[] = {"toolButton",
                                  "pushButton",
                                  "comboBox",
                                  "label",
                                  "label_2",
                                  "dateEdit",
                                  "toolButton_2",
                                  "m_enddateTimeEdit",
                                  "m_startdateTimeEdit",
                                  "label_5",
                                  "label_3",
                                  "comboBox_2",
                                  "pushButton_2",
                                  "label_4"};
    for (const char *name : styled)
        QTest::newRow(name) << QString::fromLatin1(name) << 11;
    const char *const plain[] = {"m_pbExport", "textEdit", "page", "page_2", "stackedWidget"};
    for (const char *name : plain)
        QTest::newRow(name) << QString::fromLatin1(name) << kAppPointSize;
}

void FormTest::fonts()
{
    QFETCH(QString, name);
    QFETCH(int, pointSize);
    QWidget *widget = m_fx.window()->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->font().pointSize(), pointSize);
    // Everything but the size comes from the application's font.
    QCOMPARE(widget->font().family(), QApplication::font().family());
    QCOMPARE(widget->font().weight(), QApplication::font().weight());
}

void FormTest::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    auto row = [](const char *name, const char *text, const char *tip = "") {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromUtf8(text)
                            << QString::fromUtf8(tip);
    };
    row("toolButton", "高级");
    row("pushButton", "查询");
    row("label", "查询类型：");
    row("label_2", "日期：");
    row("m_pbExport", "导出");
    row("toolButton_2", "返回", "返回按天查询");
    row("label_5", "结束时间：");
    row("label_3", "查询类型：");
    row("pushButton_2", "查询");
    row("label_4", "起始时间：");
}

void FormTest::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QWidget *widget = m_fx.window()->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->property("text").toString(), text);
    QCOMPARE(widget->toolTip(), toolTip);
}

void FormTest::labelAlignment_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("alignment");
    const int right = int(Qt::AlignRight | Qt::AlignVCenter);
    const int standard = int(QLabel().alignment());
    QTest::newRow("label") << QStringLiteral("label") << right;
    QTest::newRow("label_2") << QStringLiteral("label_2") << right;
    QTest::newRow("label_3") << QStringLiteral("label_3") << standard;
    QTest::newRow("label_4") << QStringLiteral("label_4") << standard;
    QTest::newRow("label_5") << QStringLiteral("label_5") << standard;
}

void FormTest::labelAlignment()
{
    QFETCH(QString, name);
    QFETCH(int, alignment);
    auto *label = m_fx.window()->findChild<QLabel *>(name);
    QVERIFY(label);
    QCOMPARE(int(label->alignment()), alignment);
}

void FormTest::sizePolicies_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("horizontal");
    QTest::addColumn<int>("vertical");
    QTest::addColumn<int>("verticalStretch");
    const int preferred = QSizePolicy::Preferred;
    const int expanding = QSizePolicy::Expanding;
    QTest::newRow("stackedWidget")
        << QStringLiteral("stackedWidget") << preferred << preferred << 0;
    // Unlike a tool button's usual fixed height, both take the full height of their row.
    QTest::newRow("toolButton") << QStringLiteral("toolButton") << preferred << preferred << 0;
    QTest::newRow("toolButton_2") << QStringLiteral("toolButton_2") << preferred << preferred << 0;
    QTest::newRow("textEdit") << QStringLiteral("textEdit") << expanding << expanding << 8;
}

void FormTest::sizePolicies()
{
    QFETCH(QString, name);
    QFETCH(int, horizontal);
    QFETCH(int, vertical);
    QFETCH(int, verticalStretch);
    QWidget *widget = m_fx.window()->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QSizePolicy policy = widget->sizePolicy();
    QCOMPARE(int(policy.horizontalPolicy()), horizontal);
    QCOMPARE(int(policy.verticalPolicy()), vertical);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), verticalStretch);
    QVERIFY(!policy.hasHeightForWidth());
}

void FormTest::editorProperties()
{
    Tallyview *w = m_fx.window();
    auto *start = w->findChild<QDateTimeEdit *>(QStringLiteral("m_startdateTimeEdit"));
    auto *end = w->findChild<QDateTimeEdit *>(QStringLiteral("m_enddateTimeEdit"));
    auto *day = w->findChild<QDateEdit *>(QStringLiteral("dateEdit"));
    QVERIFY(start && end && day);

    QVERIFY(start->calendarPopup());
    QCOMPARE(start->correctionMode(), QAbstractSpinBox::CorrectToPreviousValue);
    QVERIFY(start->isGroupSeparatorShown());
    QCOMPARE(start->currentSectionIndex(), 0);

    QVERIFY(end->calendarPopup());
    QVERIFY(!end->isGroupSeparatorShown());

    QVERIFY(!day->calendarPopup());

    // The form sets no display format: the editors show the locale's default.
    QCOMPARE(start->displayFormat(), QDateTimeEdit().displayFormat());
    QCOMPARE(day->displayFormat(), QDateEdit().displayFormat());

    auto *view = w->findChild<QTextEdit *>(QStringLiteral("textEdit"));
    QVERIFY(view);
    // The form leaves the view editable; the window makes it read-only (select and copy only).
    QVERIFY(view->isReadOnly());
    QCOMPARE(view->textInteractionFlags(),
             Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QVERIFY(view->document()->isEmpty());
}

void FormTest::extraHeightGoesToTheView()
{
    Tallyview *w = m_fx.window();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w, TestFiles::kHangGuardMs));
    auto *stack = w->findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    auto *view = w->findChild<QTextEdit *>(QStringLiteral("textEdit"));
    auto *tool = w->findChild<QToolButton *>(QStringLiteral("toolButton"));
    QVERIFY(stack && view && tool);

    const int stackHeight = stack->height();
    const int viewHeight = view->height();
    w->resize(w->width(), w->height() + 300);
    QTRY_COMPARE_WITH_TIMEOUT(view->height(), viewHeight + 300, TestFiles::kHangGuardMs);
    QCOMPARE(stack->height(), stackHeight);
    // The tool button fills the height of its row instead of keeping its own fixed height.
    QGridLayout *grid = gridOf(w, QStringLiteral("gridLayout"));
    QVERIFY(grid);
    QCOMPARE(tool->height(), grid->cellRect(0, 3).height());
    QCOMPARE(tool->height(), grid->cellRect(0, 2).height());
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
