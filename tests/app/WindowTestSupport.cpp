#include "WindowTestSupport.h"

#include "Tallyview.h"
#include "TestLogFile.h"

#include <QAbstractEventDispatcher>
#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHash>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

namespace WindowTest {

namespace {

const char *const kHandled = "windowTestHandled";

} // namespace

bool seedRecords(const QList<Record> &records)
{
    return TestLogFile::writeRecords(QStringLiteral("dbLog.db"), records);
}

namespace {

QString longDayStamp(int count, int record)
{
    // Inside the day's exclusive bounds: from 00:00:01 to 23:59:58.
    const int second = 1 + int(qint64(record) * 86398 / count);
    return QStringLiteral("2024-03-15 %1:%2:%3")
        .arg(second / 3600, 2, 10, QLatin1Char('0'))
        .arg(second / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(second % 60, 2, 10, QLatin1Char('0'));
}

QString longDayMessage(int record)
{
    // Line breaks as another system writes them in every fifth.
    return QString::fromUtf8("记录 %1%2%3")
        .arg(record)
        .arg(record % 5 ? "" : "\r\n第二行")
        .arg(record % 7 ? "" : " alarm");
}

} // namespace

bool seedLongDay(int count)
{
    static QTemporaryDir cache;
    static QHash<int, QString> written;
    QString &file = written[count];
    if (file.isEmpty()) {
        QList<Record> records;
        records.reserve(count);
        for (int i = 0; i < count; ++i)
            records.append({longDayStamp(count, i), 3, longDayMessage(i)});
        const QString path = cache.filePath(QStringLiteral("long-%1.db").arg(count));
        if (!TestLogFile::writeRecords(path, records))
            return false;
        file = path;
    }
    return QFile::copy(file, QStringLiteral("dbLog.db"));
}

QString longDayRecordText(int count, int record)
{
    return longDayStamp(count, record) + QLatin1String(":\n") + longDayMessage(record);
}

QStringList longDayRecordLines(int count, int record)
{
    return longDayRecordText(count, record)
        .replace(QLatin1String("\r\n"), QLatin1String("\n"))
        .split(QLatin1Char('\n'));
}

QStringList linesOnScreen(QTextEdit *view)
{
    const qreal top = view->verticalScrollBar()->value();
    const qreal bottom = top + view->viewport()->height();
    const QAbstractTextDocumentLayout *layout = view->document()->documentLayout();
    QStringList lines;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
        const QRectF rect = layout->blockBoundingRect(block);
        if (rect.top() >= bottom)
            break;
        if (rect.bottom() > top)
            lines << block.text();
    }
    return lines;
}

bool layoutTimerRunning(QTextEdit *view)
{
    return !QAbstractEventDispatcher::instance()
                ->registeredTimers(view->document()->documentLayout())
                .isEmpty();
}

bool execOnLog(const QString &statement)
{
    return TestLogFile::exec(QStringLiteral("dbLog.db"), {statement});
}

bool LogLock::take()
{
    m_lock = std::make_unique<TestFiles::FileLock>();
    return m_lock->lock();
}

void LogLock::release()
{
    m_lock.reset(); // closes its connection: the lock goes with it
}

bool activate(QWidget *window)
{
    window->activateWindow();
    return QTest::qWaitForWindowActive(window, TestFiles::kHangGuardMs);
}

bool waitForListing(int timeoutMs)
{
    // The status line's busy indicator shows while a query, an export or the index runs.
    const auto busy = [] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            const auto *indicator = w->findChild<QProgressBar *>(QStringLiteral("busyIndicator"));
            if (indicator && !indicator->isHidden())
                return true;
        }
        return false;
    };
    return QTest::qWaitFor([&] { return !QApplication::overrideCursor() && !busy(); }, timeoutMs);
}

bool Fixture::setUp()
{
    m_dir = std::make_unique<TestFiles::ScopedWorkDir>();
    return m_dir->isValid();
}

void Fixture::tearDown()
{
    m_window.reset();
    m_dir.reset();
}

Tallyview *Fixture::openWindow(bool show)
{
    m_window.reset(new Tallyview);
    if (show) {
        m_window->show();
        if (!QTest::qWaitForWindowExposed(m_window.get(), TestFiles::kHangGuardMs))
            qWarning("window not exposed");
    }
    return m_window.get();
}

void Fixture::closeWindow()
{
    m_window.reset();
}

ModalDriver::ModalDriver(QList<Action> script) : m_script(std::move(script))
{
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_timer.start();
}

ModalDriver::~ModalDriver() = default;

ModalDriver::Action ModalDriver::pressOk()
{
    return [](QWidget *w) {
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            if (QAbstractButton *ok = box->button(QMessageBox::Ok)) {
                ok->click();
                return;
            }
        }
        if (auto *dialog = qobject_cast<QDialog *>(w))
            dialog->reject();
    };
}

ModalDriver::Action ModalDriver::cancel()
{
    return [](QWidget *w) {
        if (auto *dialog = qobject_cast<QDialog *>(w))
            dialog->reject();
    };
}

ModalDriver::Action ModalDriver::chooseDirectory(const QString &directory)
{
    return [directory](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog) {
            if (auto *other = qobject_cast<QDialog *>(w))
                other->reject();
            return;
        }
        dialog->setDirectory(directory);
        // Through QDialog: the file dialog overrides accept() as protected.
        static_cast<QDialog *>(dialog)->accept();
    };
}

void ModalDriver::poll()
{
    QWidget *w = QApplication::activeModalWidget();
    if (!w || !w->isVisible() || w->property(kHandled).toBool())
        return;
    w->setProperty(kHandled, true);

    Seen s;
    if (auto *box = qobject_cast<QMessageBox *>(w)) {
        s.kind = QStringLiteral("message");
        s.text = box->text();
    } else if (qobject_cast<QFileDialog *>(w)) {
        s.kind = QStringLiteral("directory");
    } else {
        s.kind = QString::fromLatin1(w->metaObject()->className());
    }
    s.title = w->windowTitle();
    s.waitCursor = QApplication::overrideCursor() != nullptr;
    s.parentIsWindow = w->parentWidget() && w->parentWidget()->inherits("Tallyview");
    seen.append(s);

    if (m_script.isEmpty()) {
        ++unexpected;
        cancel()(w);
        return;
    }
    m_script.takeFirst()(w);
}

} // namespace WindowTest
