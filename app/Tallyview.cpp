#include "Tallyview.h"

#include "DayExport.h"
#include "FindBar.h"
#include "RecordListing.h"
#include "qzSysLog.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>
#include <QSqlError>
#include <QTime>
#include <QVariant>

#include <string>
#include <utility>

namespace {

const char *const kSettingsFile = "./Tallyview.ini";
const char *const kIndexKey = "comBoxIndex";

// Shows the wait cursor for as long as the object lives. Never held across a modal dialog.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// Writes the records to the export file at `path`, replacing an earlier one only once complete;
// false with the reason when it cannot.
bool writeExport(const QString &path, const SystemLog::LogRowList &rows, QString *failure)
{
    constexpr size_t kChunk = 1 << 20;
    SystemLog::DayExport file(path);
    bool ok = file.open();
    std::string text;
    for (auto row = rows.cbegin(); ok && row != rows.cend(); ++row) {
        SystemLog::DayExport::appendRecord(text, *row);
        if (text.size() >= kChunk) {
            ok = file.write(text);
            text.clear();
        }
    }
    ok = ok && file.write(text) && file.commit();
    if (!ok)
        *failure = file.errorString();
    return ok;
}

void showNotice(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, QString::fromUtf8("提示"), text, QMessageBox::Ok,
                             QMessageBox::NoButton);
}

// Puts a query's outcome into the result view: the records, or a notice when there are none.
void showResult(RecordListing *listing, SystemLog::LogRowList rows, const QSqlError &error)
{
    if (!rows.isEmpty())
        listing->showRows(std::move(rows));
    else if (error.isValid())
        listing->showNotice(QString::fromUtf8("查询失败：%1").arg(error.text()));
    else
        listing->showNotice(QString::fromUtf8("没有找到相关记录"));
}

} // namespace

Tallyview::Tallyview(QWidget *parent) : QMainWindow(parent)
{
    // The service runs before any widget exists.
    SystemLog::qzSysLog::instance()->start();

    ui.setupUi(this);

    for (int type = 0; type < SystemLog::kCategoryCount; ++type)
        m_logTypeMap.insert(type, SystemLog::categoryName(type));
    // An item's position in either list equals its category; the category is its user data.
    for (auto it = m_logTypeMap.cbegin(); it != m_logTypeMap.cend(); ++it) {
        ui.comboBox->insertItem(it.key(), it.value(), it.key());
        ui.comboBox_2->insertItem(it.key(), it.value(), it.key());
    }

    ui.dateEdit->setDateTime(QDateTime::currentDateTime());
    QDateTime start = QDateTime::currentDateTime();
    start.setTime(QTime(0, 0, 0, 0));
    QDateTime end = QDateTime::currentDateTime();
    end.setTime(QTime(23, 59, 59, 0));
    ui.m_startdateTimeEdit->setDateTime(start);
    ui.m_enddateTimeEdit->setDateTime(end);

    connect(ui.pushButton, SIGNAL(clicked()), this, SLOT(onButtonClicked()));
    connect(ui.toolButton, SIGNAL(clicked()), this, SLOT(onButtonClicked()));
    connect(ui.pushButton_2, SIGNAL(clicked()), this, SLOT(onButtonClicked()));
    connect(ui.toolButton_2, SIGNAL(clicked()), this, SLOT(onButtonClicked()));
    connect(ui.m_pbExport, SIGNAL(clicked()), this, SLOT(onButtonClicked()));

    setWindowIcon(QIcon(QString::fromUtf8(":/Resources/Log.png")));
    setWindowTitle(QString::fromUtf8("系统日志查询工具"));

    // Only read here; a value that is no integer or names no category starts on the first one.
    // The file is left as it is until the next query by day writes it.
    QSettings settings(QString::fromUtf8(kSettingsFile), QSettings::IniFormat);
    bool ok = false;
    const int stored = settings.value(QString::fromUtf8(kIndexKey), 0).toInt(&ok);
    m_comBoxIndex = (ok && m_logTypeMap.contains(stored)) ? stored : 0;
    ui.comboBox->setCurrentIndex(m_comBoxIndex);
    ui.comboBox_2->setCurrentIndex(m_comBoxIndex);

    m_listing = new RecordListing(ui.textEdit);

    // Finding in the listing: the Find key anywhere in the window, or the view's context menu.
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, &Tallyview::openFind);
    ui.textEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui.textEdit, &QWidget::customContextMenuRequested, this, &Tallyview::showViewMenu);
}

Tallyview::~Tallyview()
{
    SystemLog::qzSysLog::release();
}

void Tallyview::closeEvent(QCloseEvent *event)
{
    // Closing saves nothing; the event stays accepted, so the window closes.
    Q_UNUSED(event);
}

void Tallyview::onButtonClicked()
{
    const QObject *button = sender();
    if (!button)
        return;
    const QString name = button->objectName();
    if (name == QLatin1String("pushButton"))
        queryByDay();
    else if (name == QLatin1String("toolButton"))
        ui.stackedWidget->setCurrentIndex(1);
    else if (name == QLatin1String("pushButton_2"))
        queryByRange();
    else if (name == QLatin1String("toolButton_2"))
        ui.stackedWidget->setCurrentIndex(0);
    else if (name == QLatin1String("m_pbExport"))
        exportDay();
}

void Tallyview::openFind()
{
    if (!m_findBar)
        m_findBar = new FindBar(ui.textEdit, m_listing);
    m_findBar->open();
}

// The view's own menu with one more entry. Shown without blocking and deleted once closed.
void Tallyview::showViewMenu(const QPoint &pos)
{
    QMenu *menu = ui.textEdit->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    // "Select all" takes what the view holds; of a long listing that is only a part.
    if (!m_listing->isWhole())
        menu->addAction(QString::fromUtf8("复制全部"), this,
                        [this] { QApplication::clipboard()->setText(m_listing->wholeText()); });
    QAction *find = menu->addAction(QString::fromUtf8("查找"), this, &Tallyview::openFind);
    find->setShortcut(QKeySequence::Find);
    menu->popup(ui.textEdit->viewport()->mapToGlobal(pos));
}

void Tallyview::queryByDay()
{
    const int type = ui.comboBox->currentData(Qt::UserRole).toInt();
    m_comBoxIndex = ui.comboBox->currentIndex();
    // Saved on every query by day, changed or not; written out when the object goes.
    QSettings settings(QString::fromUtf8(kSettingsFile), QSettings::IniFormat);
    settings.setValue(QString::fromUtf8(kIndexKey), m_comBoxIndex);

    const QString day = ui.dateEdit->dateTime().toString(QLatin1String(SystemLog::kDayFormat));
    WaitCursor wait;
    QSqlError error;
    SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(day, type, &error);
    showResult(m_listing, std::move(rows), error);
}

void Tallyview::queryByRange()
{
    const int type = ui.comboBox_2->currentData(Qt::UserRole).toInt();
    const QString format = QLatin1String(SystemLog::kStampFormat);
    const QString startTime = ui.m_startdateTimeEdit->dateTime().toString(format);
    const QString endTime = ui.m_enddateTimeEdit->dateTime().toString(format);

    WaitCursor wait;
    QSqlError error;
    SystemLog::LogRowList rows =
        SystemLog::qzSysLog::instance()->queryRange(startTime, endTime, type, &error);
    showResult(m_listing, std::move(rows), error);
}

void Tallyview::exportDay()
{
    // Always the by-day page's category and day, whichever page is visible, and a fresh query:
    // the export does not depend on what the view shows.
    const int type = ui.comboBox->currentData(Qt::UserRole).toInt();
    const QString day = ui.dateEdit->dateTime().toString(QLatin1String(SystemLog::kDayFormat));

    SystemLog::LogRowList rows;
    QSqlError error;
    {
        WaitCursor wait;
        rows = SystemLog::qzSysLog::instance()->queryDay(day, type, &error);
    }
    if (error.isValid()) {
        showNotice(this, QString::fromUtf8("导出失败：%1").arg(error.text()));
        return;
    }
    if (rows.isEmpty()) {
        showNotice(this, QString::fromUtf8("%1没用记录可以导出").arg(day));
        return;
    }

    const QString directory = QFileDialog::getExistingDirectory(
        this, QString::fromUtf8("请选择文件存储路径"), QString(), QFileDialog::ShowDirsOnly);
    if (directory.isEmpty()) {
        showNotice(this, QString::fromUtf8("路径无效"));
        return;
    }
    const QString path = SystemLog::DayExport::filePath(directory, day);

    QString failure;
    bool failed = false;
    {
        WaitCursor wait;
        failed = !writeExport(path, rows, &failure);
    }
    if (failed) {
        showNotice(this, QString::fromUtf8("导出失败：%1").arg(failure));
        return;
    }
    showNotice(this, QString::fromUtf8("数据导出完成，路径如下：\n%1").arg(path));
}
