#include "StatusLine.h"

#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QStatusBar>
#include <QStringList>

namespace {

const char *const kSeparator = " · ";

} // namespace

StatusLine::StatusLine(QMainWindow *window)
    : QObject(window), m_listing(new QLabel), m_state(new QLabel), m_busy(new QProgressBar)
{
    auto *bar = new QStatusBar;
    bar->setObjectName(QStringLiteral("statusLine"));
    bar->setSizeGripEnabled(false);
    m_listing->setObjectName(QStringLiteral("listingStatus"));
    m_state->setObjectName(QStringLiteral("stateStatus"));
    m_busy->setObjectName(QStringLiteral("busyIndicator"));
    // Indeterminate: a query says nothing of how far it has come.
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busy->setMaximumWidth(120);
    m_busy->hide();
    bar->addWidget(m_listing, 1);
    bar->addPermanentWidget(m_state);
    bar->addPermanentWidget(m_busy);
    window->setStatusBar(bar);
}

QString StatusLine::describe(const QString &category, const QString &day, const QString &from,
                             const QString &to)
{
    const QString span = day.isEmpty() ? from + QString::fromUtf8(" 至 ") + to : day;
    return category + QString::fromUtf8(kSeparator) + span;
}

void StatusLine::showListing(const QString &what, int count)
{
    m_listing->setText(what + QString::fromUtf8(kSeparator) +
                       QString::fromUtf8("共 %1 条记录").arg(count));
}

void StatusLine::showFailure(const QString &what)
{
    m_listing->setText(what + QString::fromUtf8(kSeparator) + QString::fromUtf8("查询失败"));
}

void StatusLine::setQuerying(const QString &what)
{
    m_querying = what;
    update();
}

void StatusLine::setExporting(bool on)
{
    m_exporting = on;
    update();
}

void StatusLine::setIndexing(bool on)
{
    m_indexing = on;
    update();
}

void StatusLine::setLivePaused(bool on)
{
    m_paused = on;
    update();
}

void StatusLine::setSetAside(const QStringList &names)
{
    if (names == m_setAside)
        return;
    m_setAside = names;
    update();
}

void StatusLine::update()
{
    QStringList states;
    if (!m_setAside.isEmpty())
        states << QString::fromUtf8("日志文件损坏，已另存为 %1（可用 tallylog --db 读取）")
                      .arg(m_setAside.join(QString::fromUtf8("、")));
    if (m_indexing)
        states << QString::fromUtf8("正在为日志建立索引，查询将在完成后进行");
    if (!m_querying.isEmpty())
        states << QString::fromUtf8("正在查询：%1").arg(m_querying);
    if (m_exporting)
        states << QString::fromUtf8("正在导出");
    if (m_paused)
        states << QString::fromUtf8("日志被其他程序占用，实时更新暂停");
    m_state->setText(states.join(QString::fromUtf8(kSeparator)));
    m_busy->setVisible(m_indexing || !m_querying.isEmpty() || m_exporting);
}
