#pragma once

#include "LogTypes.h"

#include <QObject>
#include <QPointer>
#include <QSqlError>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

class QProgressDialog;
class QWidget;

// The window's export of one day's records of a category to a text file. The day's query and the
// writing of the file run on a thread of their own, so that the window goes on meanwhile; a
// progress dialog shows how far the export has come, and cancelling it writes nothing (an earlier
// export of that day stays as it was). The dialog is modeless: the window's query controls are
// disabled instead while the export runs, and the listing can be read. The notices and the
// directory chooser are the export command's own, in its order.
class DayExporter : public QObject
{
    Q_OBJECT

public:
    enum class Outcome
    {
        Written,
        Failed,
        Cancelled,
    };

    // The dialogs belong to `window`; `controls` are disabled while an export runs.
    DayExporter(QWidget *window, QWidget *controls);
    // Cancels an export under way and waits for its thread.
    ~DayExporter() override;

    // Writes the records to `path` as the export file, replacing an earlier one only once the
    // whole file is written. Stops once `cancel` is set, before the file takes the name: nothing
    // is written then. `written` counts the records written so far.
    static Outcome write(const QString &path, const SystemLog::LogRowList &rows,
                         const std::atomic<bool> &cancel, std::atomic<int> *written,
                         QString *failure);

    // Exports the day ("yyyy-MM-dd") of this category, unless an export runs already.
    void start(const QString &day, int type);
    bool isRunning() const { return m_running; }

Q_SIGNALS:
    void runningChanged(bool running);

private:
    void onQueried(SystemLog::LogRowList rows, const QSqlError &error);
    void onWritten(Outcome outcome, const QString &notice);
    void runJob(std::function<void()> job);
    void showProgress(const QString &label, int maximum);
    void hideProgress();
    void finish(const QString &notice = QString());

    QWidget *m_window;
    QWidget *m_controls;
    // Made for each step and deleted after it: a progress dialog shows itself on a timer of its
    // own from the moment it is made.
    QPointer<QProgressDialog> m_progress;
    QTimer m_progressTimer;
    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_written{0};
    QString m_day;
    bool m_running = false;
};
