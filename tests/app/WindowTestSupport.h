#pragma once

#include "ScratchDir.h"
#include "TestFiles.h"
#include "TestLogFile.h"

#include <QList>
#include <QMetaType>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QTextEdit;
class Tallyview;

namespace WindowTest {

using TestLogFile::Record;

// Writes records into "dbLog.db" of the working directory through a connection of its own,
// creating the log table first if the file has none. Returns false on any database error.
bool seedRecords(const QList<Record> &records);

// A day of `count` alarms (category 3) on 2024-03-15, spread over the day's seconds, as "dbLog.db"
// of the working directory. Message i is "记录 <i>", followed by "\r\n第二行" for every fifth and
// " alarm" for every seventh. Each
// count is written once per process and copied for the next test that asks for it.
bool seedLongDay(int count);
QString longDayRecordText(int count, int record);
// The lines that the view shows of that record.
QStringList longDayRecordLines(int count, int record);

// The lines of the view that are on screen, from top to bottom, each whole.
QStringList linesOnScreen(QTextEdit *view);

// Whether the view's document layout has a timer registered, as it does while it lays out text in
// the background.
bool layoutTimerRunning(QTextEdit *view);

// Runs one statement on "dbLog.db" of the working directory through a connection of its own.
bool execOnLog(const QString &statement);

// Holds an exclusive lock on "dbLog.db" of the working directory through a connection of its own,
// as another program writing to the file does, until released or destroyed.
struct LogLock
{
    bool take();
    void release();

private:
    std::unique_ptr<TestFiles::FileLock> m_lock;
};

// Makes the window the active one, which its shortcuts need.
bool activate(QWidget *window);

// Waits until the window is idle: it has shown the listing of its last query (while a listing is
// being prepared, the window shows the wait cursor) and ended its export, and the log's index is
// built (the status line's busy indicator is hidden). False when it is still busy after
// `timeoutMs`.
bool waitForListing(int timeoutMs = TestFiles::kHangGuardMs);

using TestFiles::readFile;
using TestFiles::writeFile;

// A fresh temporary working directory for one test function, and the window built in it. The
// window goes first when the fixture is torn down, since it releases the log service that keeps
// "dbLog.db" open.
class Fixture
{
public:
    bool setUp();
    void tearDown();
    QString path() const { return m_dir ? m_dir->path() : QString(); }
    QString filePath(const QString &name) const { return m_dir->filePath(name); }

    Tallyview *openWindow(bool show = true);
    Tallyview *window() const { return m_window.get(); }
    void closeWindow();

private:
    std::unique_ptr<TestFiles::ScopedWorkDir> m_dir;
    std::unique_ptr<Tallyview> m_window;
};

// Answers the modal dialogs that a command opens, one scripted action per dialog, and records
// what each dialog showed. A dialog beyond the script is rejected and counted as unexpected, so
// a wrong branch fails the test instead of blocking it.
class ModalDriver : public QObject
{
public:
    using Action = std::function<void(QWidget *)>;

    struct Seen
    {
        QString kind; // "message" or "directory"
        QString title;
        QString text;
        bool waitCursor; // an override cursor was set while the dialog was up
        bool parentIsWindow;
    };

    explicit ModalDriver(QList<Action> script = {});
    ~ModalDriver() override;

    static Action pressOk();
    static Action cancel();
    static Action chooseDirectory(const QString &directory);

    QList<Seen> seen;
    int unexpected = 0;
    int leftInScript() const { return m_script.size(); }

private:
    void poll();

    QTimer m_timer;
    QList<Action> m_script;
};

} // namespace WindowTest

Q_DECLARE_METATYPE(TestLogFile::Record)
