#include "Tallyview.h"

#include "FindBar.h"
#include "QDBSqlite.h"
#include "qzSysLog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QSettings>
#include <QShortcut>
#include <QSqlError>
#include <QTextStream>
#include <QTime>
#include <QVariant>

#include <cerrno>
#include <cstring>

namespace {

const char *const kSettingsFile = "./Tallyview.ini";
const char *const kIndexKey = "comBoxIndex";

// How long the window's queries wait for another program's lock on the log before they say that
// the file is busy. The window stands still meanwhile. A log service holds the file for one batch
// at a time, at most 250 ms (at its shutdown), usually a few milliseconds, so this wait rides
// out any writer storing records; a file held longer (a backup, a transaction left open in a
// shell) is reported after a second instead of freezing the window for five.
constexpr int kQueryBusyWaitMs = 1000;

// Shows the wait cursor for as long as the object lives. Never held across a modal dialog.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

// "<date-time>:\n<message>". Concatenated rather than run through QString::arg, so that nothing
// in a stored text is ever read as a placeholder.
void appendRecordText(QString &out, const SystemLog::LogRow &row)
{
    out += row.first;
    out += QLatin1String(":\n");
    out += row.second;
}

QString recordsText(const SystemLog::LogRowList &rows)
{
    int length = 0;
    for (const SystemLog::LogRow &row : rows)
        length += row.first.size() + row.second.size() + 3;
    QString text;
    text.reserve(length);
    for (const SystemLog::LogRow &row : rows) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        appendRecordText(text, row);
    }
    return text;
}

// "<head><reason>". Another program holding the file is said in words before the database's own.
QString failureText(const char *head, const QSqlError &error)
{
    QString text = QString::fromUtf8(head);
    if (SystemLog::QDBSqlite::isBusy(error))
        text += QString::fromUtf8("日志文件正被其他程序占用，请稍后重试") + QLatin1Char('\n');
    return text + error.text();
}

void showNotice(QWidget *parent, const QString &text)
{
    QMessageBox::information(parent, QString::fromUtf8("提示"), text, QMessageBox::Ok,
                             QMessageBox::NoButton);
}

// Puts a query's outcome into the result view. Records are shown as plain text, exactly their
// characters: each record's date-time and colon on one line and its message below, one record
// after the other. The whole text goes in as one document update, which a list of a hundred
// thousand records needs; the document is the same as one paragraph appended per record.
void showResult(QTextEdit *view, const SystemLog::LogRowList &rows, const QSqlError &error)
{
    // The application's font at 18 px for a listing, at 30 px for a notice.
    QFont font = QApplication::font();
    font.setPixelSize(rows.isEmpty() ? 30 : 18);
    if (view->font() != font) {
        // Emptied first, so that the font change does not lay out the previous contents again.
        view->clear();
        view->setFont(font);
    }
    if (!rows.isEmpty())
        view->setPlainText(recordsText(rows));
    else if (error.isValid())
        view->setPlainText(failureText("查询失败：", error));
    else
        view->setPlainText(QString::fromUtf8("没有找到相关记录"));
}

} // namespace

Tallyview::Tallyview(QWidget *parent) : QMainWindow(parent)
{
    // The service runs before any widget exists.
    SystemLog::qzSysLog::instance()->start();
    SystemLog::qzSysLog::instance()->writer().setQueryBusyTimeout(kQueryBusyWaitMs);

    ui.setupUi(this);

    m_logTypeMap = QMap<int, QString>{
        {SystemLog::ParameterChange, QString::fromUtf8("参数修改记录")},
        {SystemLog::UserAction, QString::fromUtf8("用户使用记录")},
        {SystemLog::SystemStatus, QString::fromUtf8("系统状态记录")},
        {SystemLog::Alarm, QString::fromUtf8("报警记录")},
        {SystemLog::OtherInfo, QString::fromUtf8("其他信息")},
    };
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
        m_findBar = new FindBar(ui.textEdit);
    m_findBar->open();
}

// The view's own menu with one more entry. Shown without blocking and deleted once closed.
void Tallyview::showViewMenu(const QPoint &pos)
{
    QMenu *menu = ui.textEdit->createStandardContextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
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

    const QString day = ui.dateEdit->dateTime().toString(QStringLiteral("yyyy-MM-dd"));
    WaitCursor wait;
    QSqlError error;
    const SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(day, type, &error);
    showResult(ui.textEdit, rows, error);
}

void Tallyview::queryByRange()
{
    const int type = ui.comboBox_2->currentData(Qt::UserRole).toInt();
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    const QString startTime = ui.m_startdateTimeEdit->dateTime().toString(format);
    const QString endTime = ui.m_enddateTimeEdit->dateTime().toString(format);

    WaitCursor wait;
    QSqlError error;
    const SystemLog::LogRowList rows =
        SystemLog::qzSysLog::instance()->queryRange(startTime, endTime, type, &error);
    showResult(ui.textEdit, rows, error);
}

void Tallyview::exportDay()
{
    // Always the by-day page's category and day, whichever page is visible, and a fresh query:
    // the export does not depend on what the view shows.
    const int type = ui.comboBox->currentData(Qt::UserRole).toInt();
    const QString day = ui.dateEdit->dateTime().toString(QStringLiteral("yyyy-MM-dd"));

    SystemLog::LogRowList rows;
    QSqlError error;
    {
        WaitCursor wait;
        rows = SystemLog::qzSysLog::instance()->queryDay(day, type, &error);
    }
    if (error.isValid()) {
        showNotice(this, failureText("导出失败：", error));
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
    const QString path = directory + QDir::separator() + day + QString::fromUtf8("系统日志.txt");

    // Written beside the target and put in its place only once complete: a failed export leaves
    // an earlier file of the same name untouched.
    bool failed = false;
    QString failure;
    {
        WaitCursor wait;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
            failed = true;
            failure = file.errorString();
        } else {
            QTextStream out(&file);
            // Records are stored as UTF-8; the locale's encoding could not represent them all.
            out.setCodec("UTF-8");
            QString record;
            for (const SystemLog::LogRow &row : rows) {
                record.clear();
                appendRecordText(record, row);
                out << record << '\n';
            }
            errno = 0;
            out.flush();
            const int writeErrno = errno;
            if (out.status() != QTextStream::Ok) {
                failed = true;
                failure = file.errorString();
                // A short write (a full disk, a file-size limit) leaves the device without an
                // error text of its own; the system's reason is in errno.
                if ((failure.isEmpty() || failure == QLatin1String("Unknown error")) &&
                    writeErrno != 0)
                    failure = QString::fromLocal8Bit(std::strerror(writeErrno));
                file.cancelWriting();
            } else if (!file.commit()) {
                failed = true;
                failure = file.errorString();
            }
        }
    }
    if (failed) {
        showNotice(this, QString::fromUtf8("导出失败：%1").arg(failure));
        return;
    }
    showNotice(this, QString::fromUtf8("数据导出完成，路径如下：\n%1").arg(path));
}
