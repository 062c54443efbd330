// Runs the real viewer window in the working directory for the robustness tests, one command
// after the other, and reports what it saw on standard output ("key value" lines, see
// ChildSupport.h).
//
//   open                 builds and shows the window; reports "opened", "combo", "combo2"
//   day YYYY-MM-DD       sets the day editor
//   type N               chooses category N on the by-day page
//   query                clicks "查询"; reports "view" (the plain text) and "viewpx"
//   log N                hands N records to the output hook
//   export DIR           clicks "导出", chooses DIR in the directory dialog and presses Ok on
//                        every message box; reports "dialog" and "box"/"boxtitle" per dialog
//   export-vanish DIR    the same, but DIR is removed right after the dialog accepted it
//   fsize BYTES          from now on no file may grow beyond BYTES (SIGXFSZ ignored)
//   close                destroys the window, which releases the log service

#include "ChildSupport.h"
#include "OutputHook.h"
#include "RecordListing.h"
#include "Tallyview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <memory>

using namespace Robustness;

namespace {

// Answers the modal dialogs that a command opens, from a timer, since a modal dialog runs its
// own event loop: a directory dialog gets the configured directory, a message box is reported
// and closed with Ok. A runaway sequence of dialogs is cut off and rejected.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer()
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        m_timer.start();
    }

    QString directory;
    bool removeDirectoryAfterAccept = false;

private:
    void poll()
    {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w->property("answered").toBool())
            return;
        w->setProperty("answered", true);
        auto *dialog = qobject_cast<QDialog *>(w);
        if (++m_seen > 6) {
            report("dialog", QStringLiteral("too many"));
            if (dialog)
                dialog->reject();
            return;
        }
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            report("dialog", QStringLiteral("message"));
            report("boxtitle", box->windowTitle());
            report("box", box->text());
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            return;
        }
        if (auto *files = qobject_cast<QFileDialog *>(w)) {
            report("dialog", QStringLiteral("directory"));
            if (directory.isEmpty()) {
                files->reject();
                return;
            }
            files->setDirectory(directory);
            static_cast<QDialog *>(files)->accept(); // QFileDialog::accept, by way of QDialog
            // The dialog has taken the directory; it disappears before the window writes.
            if (removeDirectoryAfterAccept && !QDir(directory).removeRecursively())
                report("note", QStringLiteral("could not remove %1").arg(directory));
            return;
        }
        report("dialog", QString::fromLatin1(w->metaObject()->className()));
        if (dialog)
            dialog->reject();
    }

    QTimer m_timer;
    int m_seen = 0;
};

template <typename T> T *child(QWidget *window, const char *name)
{
    T *w = window ? window->findChild<T *>(QString::fromLatin1(name)) : nullptr;
    if (!w)
        fail(ExitCommandFailed, QStringLiteral("no widget %1").arg(QString::fromLatin1(name)));
    return w;
}

} // namespace

int main(int argc, char **argv)
{
    int i = applyRestrictions(argc, argv);
    QApplication app(argc, argv);
    std::unique_ptr<Tallyview> window;

    auto needs = [&](int n) {
        if (i + n >= argc)
            fail(ExitUsage, QStringLiteral("%1 needs %2 argument(s)")
                                .arg(QString::fromLocal8Bit(argv[i]))
                                .arg(n));
    };
    auto needWindow = [&]() -> Tallyview * {
        if (!window)
            fail(ExitUsage, QStringLiteral("%1 before open").arg(QString::fromLocal8Bit(argv[i])));
        return window.get();
    };

    for (; i < argc; ++i) {
        const char *command = argv[i];
        if (std::strcmp(command, "open") == 0) {
            window = std::make_unique<Tallyview>();
            window->show();
            if (!QTest::qWaitForWindowExposed(window.get(), 120000))
                fail(ExitCommandFailed, QStringLiteral("the window was not exposed"));
            report("opened", QStringLiteral("1"));
            report("combo",
                   QString::number(child<QComboBox>(window.get(), "comboBox")->currentIndex()));
            report("combo2",
                   QString::number(child<QComboBox>(window.get(), "comboBox_2")->currentIndex()));
        } else if (std::strcmp(command, "day") == 0) {
            needs(1);
            const QDate day = QDate::fromString(QString::fromLatin1(argv[i + 1]), Qt::ISODate);
            if (!day.isValid())
                fail(ExitUsage, QStringLiteral("bad day"));
            child<QDateEdit>(needWindow(), "dateEdit")->setDate(day);
            ++i;
        } else if (std::strcmp(command, "type") == 0) {
            needs(1);
            child<QComboBox>(needWindow(), "comboBox")->setCurrentIndex(std::atoi(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "query") == 0) {
            child<QPushButton>(needWindow(), "pushButton")->click();
            // The listing is shown once prepared; the window shows the wait cursor until then.
            if (!QTest::qWaitFor([] { return !QApplication::overrideCursor(); }, 120000))
                fail(ExitCommandFailed, QStringLiteral("the listing was never shown"));
            QTextEdit *view = child<QTextEdit>(window.get(), "textEdit");
            // A long listing is in the view only in part; the listing behind it holds it all.
            const auto *listing = view->findChild<RecordListing *>();
            report("view",
                   listing && !listing->isWhole() ? listing->wholeText() : view->toPlainText());
            report("viewpx", QString::number(view->font().pixelSize()));
        } else if (std::strcmp(command, "log") == 0) {
            needs(1);
            needWindow();
            const int count = std::atoi(argv[i + 1]);
            for (int n = 0; n < count; ++n) {
                const QByteArray message = "robustness record " + QByteArray::number(n);
                SystemLog::outputHook(4, message.constData(), message.size());
            }
            report("logged", QString::number(count));
            ++i;
        } else if (std::strcmp(command, "export") == 0 ||
                   std::strcmp(command, "export-vanish") == 0) {
            needs(1);
            ModalAnswerer answerer;
            answerer.directory = QString::fromLocal8Bit(argv[i + 1]);
            answerer.removeDirectoryAfterAccept = std::strcmp(command, "export-vanish") == 0;
            child<QPushButton>(needWindow(), "m_pbExport")->click();
            // The export runs beside the window; the status line's busy indicator shows until
            // it has ended (its last notice answered).
            const auto *busy = child<QWidget>(window.get(), "busyIndicator");
            if (!QTest::qWaitFor([busy] { return busy->isHidden(); }, 120000))
                fail(ExitCommandFailed, QStringLiteral("the export never ended"));
            report("exported", QStringLiteral("1"));
            ++i;
        } else if (std::strcmp(command, "fsize") == 0) {
            needs(1);
            limitFileSize(std::atol(argv[i + 1]), QDir::currentPath());
            report("fsize", QString::fromLatin1(argv[i + 1]));
            ++i;
        } else if (std::strcmp(command, "close") == 0) {
            window.reset();
            report("released", QStringLiteral("1"));
        } else {
            fail(ExitUsage,
                 QStringLiteral("unknown command %1").arg(QString::fromLocal8Bit(command)));
        }
    }
    return 0;
}
