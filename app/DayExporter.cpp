#include "DayExporter.h"

#include "DayExport.h"
#include "WindowNotices.h"
#include "qzSysLog.h"

#include <QFileDialog>
#include <QProgressDialog>

#include <string>
#include <utility>

namespace {

// The file is written in pieces of this size; between two the export may be cancelled.
constexpr size_t kChunkBytes = 1 << 20;
constexpr int kProgressIntervalMs = 100;

} // namespace

DayExporter::DayExporter(QWidget *window, QWidget *controls)
    : QObject(window), m_window(window), m_controls(controls)
{
    m_progressTimer.setInterval(kProgressIntervalMs);
    connect(&m_progressTimer, &QTimer::timeout, this, [this] {
        if (m_progress && m_progress->maximum() > 0)
            m_progress->setValue(m_written.load());
    });
}

DayExporter::~DayExporter()
{
    m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

DayExporter::Outcome DayExporter::write(const QString &path, const SystemLog::LogRowList &rows,
                                        const std::atomic<bool> &cancel, std::atomic<int> *written,
                                        QString *failure)
{
    // Left unfinished, the new file is removed and an earlier one keeps the name.
    SystemLog::DayExport file(path);
    if (cancel)
        return Outcome::Cancelled;
    bool ok = file.open();
    std::string text;
    int done = 0;
    for (auto row = rows.cbegin(); ok && row != rows.cend(); ++row) {
        SystemLog::DayExport::appendRecord(text, *row);
        ++done;
        if (text.size() >= kChunkBytes) {
            if (cancel)
                return Outcome::Cancelled;
            ok = file.write(text);
            text.clear();
            written->store(done);
        }
    }
    if (ok && cancel)
        return Outcome::Cancelled;
    ok = ok && file.write(text) && file.commit();
    if (!ok) {
        *failure = file.errorString();
        return Outcome::Failed;
    }
    written->store(done);
    return Outcome::Written;
}

void DayExporter::start(const QString &day, int type)
{
    if (m_running)
        return;
    m_running = true;
    m_cancel = false;
    m_day = day;
    m_controls->setEnabled(false);
    emit runningChanged(true);
    showProgress(QString::fromUtf8("正在读取 %1 的记录…").arg(day), 0);
    runJob([this, day, type] {
        QSqlError error;
        SystemLog::LogRowList rows = SystemLog::qzSysLog::instance()->queryDay(day, type, &error);
        QMetaObject::invokeMethod(
            this,
            [this, rows = std::move(rows), error]() mutable { onQueried(std::move(rows), error); },
            Qt::QueuedConnection);
    });
}

void DayExporter::onQueried(SystemLog::LogRowList rows, const QSqlError &error)
{
    hideProgress();
    if (m_cancel) {
        finish();
        return;
    }
    if (error.isValid()) {
        finish(WindowNotices::failureText("导出失败：", error));
        return;
    }
    if (rows.isEmpty()) {
        finish(QString::fromUtf8("%1没用记录可以导出").arg(m_day));
        return;
    }
    const QString directory = QFileDialog::getExistingDirectory(
        m_window, QString::fromUtf8("请选择文件存储路径"), QString(), QFileDialog::ShowDirsOnly);
    if (directory.isEmpty()) {
        finish(QString::fromUtf8("路径无效"));
        return;
    }
    const QString path = SystemLog::DayExport::filePath(directory, m_day);
    m_written = 0;
    showProgress(QString::fromUtf8("正在写入 %1").arg(path), rows.size());
    // The records go with the job and are let go on its thread.
    runJob([this, path, rows = std::move(rows)] {
        QString failure;
        const Outcome outcome = write(path, rows, m_cancel, &m_written, &failure);
        QMetaObject::invokeMethod(
            this,
            [this, outcome, failure, path] {
                onWritten(outcome, outcome == Outcome::Written
                                       ? QString::fromUtf8("数据导出完成，路径如下：\n%1").arg(path)
                                       : QString::fromUtf8("导出失败：%1").arg(failure));
            },
            Qt::QueuedConnection);
    });
}

void DayExporter::onWritten(Outcome outcome, const QString &notice)
{
    // Cancelled: nothing was written, as the operator asked. An export that ended before the
    // cancel could stop it says how it ended.
    finish(outcome == Outcome::Cancelled ? QString() : notice);
}

void DayExporter::runJob(std::function<void()> job)
{
    // The previous job has handed over its outcome, its last step: its thread ends at once.
    if (m_thread.joinable())
        m_thread.join();
    m_thread = std::thread(std::move(job));
}

void DayExporter::showProgress(const QString &label, int maximum)
{
    hideProgress();
    m_progress = new QProgressDialog(label, QString::fromUtf8("取消"), 0, maximum, m_window);
    m_progress->setObjectName(QStringLiteral("exportProgress"));
    m_progress->setWindowTitle(QString::fromUtf8("导出"));
    m_progress->setWindowModality(Qt::NonModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(0);
    // The cancel button, the close button or Escape.
    connect(m_progress, &QProgressDialog::canceled, this, [this] { m_cancel = true; });
    connect(m_progress, &QDialog::rejected, this, [this] { m_cancel = true; });
    m_progress->show();
    m_progressTimer.start();
}

void DayExporter::hideProgress()
{
    m_progressTimer.stop();
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
        m_progress = nullptr;
    }
}

// The export has ended when its notice shows.
void DayExporter::finish(const QString &notice)
{
    hideProgress();
    m_running = false;
    m_controls->setEnabled(true);
    emit runningChanged(false);
    if (!notice.isEmpty())
        WindowNotices::show(m_window, notice);
}
