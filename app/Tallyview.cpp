#include "Tallyview.h"

#include "DayExporter.h"
#include "FindBar.h"
#include "FormKeys.h"
#include "ListingQuery.h"
#include "LiveFeed.h"
#include "RecordListing.h"
#include "StatusLine.h"
#include "Timeline.h"
#include "WindowNotices.h"
#include "qzSysLog.h"
#include "store/DamagedLog.h"
#include "store/QDBSqlite.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QSettings>
#include <QShortcut>
#include <QSqlError>
#include <QTime>
#include <QTimer>
#include <QVariant>

#include <utility>

namespace {

const char *const kSettingsFile = "./Tallyview.ini";
const char *const kIndexKey = "comBoxIndex";

// How long the window's queries wait for another program's lock on the log before they say that
// the file is busy. The window stands still meanwhile. A log service holds the file for one batch
// at a time, at most 250 ms (at its shutdown), usually a few milliseconds, so this wait rides
// out any writer storing records; a file held longer (a backup, a transaction left open in a
// shell) is reported after a second instead of freezing the window for five.
constexpr int kQueryBusyWaitMs = 1000;
// With live update on, a listing refused because the file was held is asked for again after this.
constexpr int kBusyRetryMs = 1000;
// How often the window looks whether the log's index is still being built.
constexpr int kIndexPollMs = 200;
// After a listing that met a damaged log: how often, and how many times, the window looks for
// the file the service sets aside.
constexpr int kSetAsidePollMs = 500;
constexpr int kSetAsideLooks = 20;

// Puts a query's outcome into the result view: the records (or the notice that there are none),
// or why the query failed.
void showResult(RecordListing *listing, Listing records, const QSqlError &error, bool keepPlace)
{
    if (records.index)
        listing->showListing(std::move(records), keepPlace);
    else
        listing->showNotice(WindowNotices::failureText("查询失败：", error));
}

} // namespace

Tallyview::Tallyview(QWidget *parent) : QMainWindow(parent)
{
    // The service runs before any widget exists.
    SystemLog::qzSysLog::instance()->start();
    SystemLog::qzSysLog::instance()->writer().setQueryBusyTimeout(kQueryBusyWaitMs);

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

    setUpViewer();
    setUpMends();
}

// What the window does beyond the form's commands: long listings, live update, F5 and finding.
void Tallyview::setUpViewer()
{
    m_listing = new RecordListing(ui.textEdit);

    // Live update, off at start: an entry of the view's menu, and Ctrl+L anywhere in the window.
    m_liveAction = new QAction(QString::fromUtf8("实时更新"), this);
    m_liveAction->setObjectName(QStringLiteral("liveUpdateAction"));
    m_liveAction->setCheckable(true);
    m_liveAction->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_L));
    addAction(m_liveAction);
    m_liveFeed = new LiveFeed(this);
    m_query = new ListingQuery(this);
    connect(m_query, &ListingQuery::listed, this, &Tallyview::showListed);
    // The listing shown lets its records go while the next one is read.
    connect(m_query, &ListingQuery::started, m_listing, &RecordListing::release);
    connect(m_liveAction, &QAction::toggled, this, &Tallyview::followListing);
    connect(m_liveFeed, &LiveFeed::recordsArrived, this, &Tallyview::appendLive);
    // Another log in the file's place is listed afresh, and that listing followed.
    connect(m_liveFeed, &LiveFeed::fileReplaced, this, &Tallyview::refresh);
    m_busyRetry = new QTimer(this);
    m_busyRetry->setSingleShot(true);
    m_busyRetry->setInterval(kBusyRetryMs);
    connect(m_busyRetry, &QTimer::timeout, this, [this] {
        // Not under a dialog (choosing where to export, a message): the wait cursor would show
        // over it; the next try comes a second later.
        if (QApplication::activeModalWidget())
            m_busyRetry->start();
        else if (m_liveAction->isChecked() && !m_query->isPreparing())
            list(m_listed, true);
    });
    // F5 runs the last query again.
    auto *refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, &Tallyview::refresh);

    // Finding in the listing: the Find key anywhere in the window, or the view's context menu.
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, this, &Tallyview::openFind);
    ui.textEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui.textEdit, &QWidget::customContextMenuRequested, this, &Tallyview::showViewMenu);
}

// Mends of the form, made here: the keyboard, the status line, the export off the window's thread
// and the timeline.
void Tallyview::setUpMends()
{
    new FormKeys(ui, this);
    m_status = new StatusLine(this);
    connect(m_liveFeed, &LiveFeed::pausedChanged, this, &Tallyview::showLivePause);
    m_exporter = new DayExporter(this, ui.stackedWidget);
    connect(m_exporter, &DayExporter::runningChanged, m_status, &StatusLine::setExporting);
    m_timeline = new Timeline(ui.gridLayout_2, m_listing, this);
    watchSetAside(0, QStringList());
    watchIndex();
}

Tallyview::~Tallyview()
{
    if (m_listing)
        m_listing->stopWatching();
    // The threads of the feed, of a query and of an export in flight end before the service goes.
    delete m_exporter;
    m_exporter = nullptr;
    delete m_liveFeed;
    m_liveFeed = nullptr;
    delete m_query;
    m_query = nullptr;
    if (m_waitCursor)
        QApplication::restoreOverrideCursor();
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
    menu->insertAction(find, m_liveAction);
    menu->insertAction(find, m_timeline->action());
    menu->popup(ui.textEdit->viewport()->mapToGlobal(pos));
}

void Tallyview::queryByDay()
{
    const int type = ui.comboBox->currentData(Qt::UserRole).toInt();
    m_comBoxIndex = ui.comboBox->currentIndex();
    // Saved on every query by day, changed or not; written out when the object goes.
    QSettings settings(QString::fromUtf8(kSettingsFile), QSettings::IniFormat);
    settings.setValue(QString::fromUtf8(kIndexKey), m_comBoxIndex);

    ListedQuery query;
    query.day = ui.dateEdit->dateTime().toString(QLatin1String(SystemLog::kDayFormat));
    // The bounds of the service's query by day.
    query.from = SystemLog::dayStart(query.day);
    query.to = SystemLog::dayEnd(query.day);
    query.type = type;
    list(query, false);
}

void Tallyview::queryByRange()
{
    const int type = ui.comboBox_2->currentData(Qt::UserRole).toInt();
    const QString format = QLatin1String(SystemLog::kStampFormat);
    ListedQuery query;
    query.from = ui.m_startdateTimeEdit->dateTime().toString(format);
    query.to = ui.m_enddateTimeEdit->dateTime().toString(format);
    query.type = type;
    list(query, false);
}

void Tallyview::list(const ListedQuery &query, bool keepPlace)
{
    // The place to keep is the shown listing's, also when a query in preparation is replaced.
    if (!m_query->isPreparing())
        m_keepPlace = keepPlace && !m_listing->isNotice();
    else if (!keepPlace)
        m_keepPlace = false;
    // Records of the previous listing still on their way are dropped from here on.
    m_liveFeed->stop();
    m_busyRetry->stop();
    m_preparing = query;
    m_status->setQuerying(describe(query));
    if (!m_waitCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_waitCursor = true;
    }
    ListingQuery::Request request;
    request.day = query.day;
    request.from = query.from;
    request.to = query.to;
    request.type = query.type;
    m_query->run(request);
}

void Tallyview::showListed()
{
    if (m_waitCursor) {
        QApplication::restoreOverrideCursor();
        m_waitCursor = false;
    }
    const QSqlError error = m_query->error();
    Listing records = m_query->takeListing();
    const SystemLog::FileIdentity listedFile =
        records.file ? records.file->identity() : SystemLog::FileIdentity();
    showResult(m_listing, std::move(records), error, m_keepPlace);
    m_keepPlace = false;
    m_listed = m_preparing;
    m_listedId = error.isValid() ? -1 : m_query->lastId();
    m_listedBusy = error.isValid() && SystemLog::QDBSqlite::isBusy(error);
    m_status->setQuerying(QString());
    if (error.isValid())
        m_status->showFailure(describe(m_listed));
    else
        m_status->showListing(describe(m_listed), m_listing->recordCount());
    m_timeline->setListing(
        {logPath(), m_listed.from, m_listed.to, m_listed.type, m_listedId, listedFile});
    // A failed listing may be what makes the service set a damaged log aside.
    const bool damaged =
        error.isValid() && SystemLog::DamagedLog::isDamageCode(error.nativeErrorCode().toInt());
    watchSetAside(damaged ? kSetAsideLooks : 0, SystemLog::DamagedLog::setAsideBeside(logPath()));
    followListing();
}

void Tallyview::refresh()
{
    // The last query asked for, shown or still in preparation.
    const ListedQuery &last = m_query->isPreparing() ? m_preparing : m_listed;
    if (!last.from.isEmpty())
        list(last, true);
}

void Tallyview::followListing()
{
    // A listing in preparation is followed once it is shown.
    if (!m_liveAction->isChecked() || m_listedId < 0 || m_query->isPreparing()) {
        m_liveFeed->stop();
        if (m_liveAction->isChecked() && m_listedBusy && !m_query->isPreparing())
            m_busyRetry->start();
        else
            m_busyRetry->stop();
        showLivePause();
        return;
    }
    LiveFeed::Listing listing;
    listing.path = logPath();
    listing.from = m_listed.from;
    listing.to = m_listed.to;
    listing.type = m_listed.type;
    listing.afterId = m_listedId;
    m_liveFeed->follow(listing);
    showLivePause();
}

// Records that arrived while live update is on go to the end of the listing. A view at the end
// follows them; one scrolled elsewhere stays where it is.
void Tallyview::appendLive(const SystemLog::LogRowList &rows, qint64 lastId)
{
    m_listedId = lastId;
    const bool follow = m_listing->isNotice() || m_listing->isAtEnd();
    // The listing reads them from its own file, by id, as it reads every record it shows.
    m_listing->appendThrough(lastId);
    if (follow)
        m_listing->positionAtEnd();
    m_status->showListing(describe(m_listed), m_listing->recordCount());
    m_timeline->addRows(rows, lastId);
}

void Tallyview::exportDay()
{
    // Always the by-day page's category and day, whichever page is visible, and a fresh query:
    // the export does not depend on what the view shows.
    const int type = ui.comboBox->currentData(Qt::UserRole).toInt();
    m_exporter->start(ui.dateEdit->dateTime().toString(QLatin1String(SystemLog::kDayFormat)), type);
}

// The service's file: "dbLog.db" of the working directory.
QString Tallyview::logPath()
{
    return QDir::current().absoluteFilePath(QStringLiteral("dbLog.db"));
}

QString Tallyview::describe(const ListedQuery &query) const
{
    return StatusLine::describe(m_logTypeMap.value(query.type), query.day, query.from, query.to);
}

// Live update waits while another program holds the file: the feed cannot read it, or the
// listing it would follow was refused and is asked for again.
void Tallyview::showLivePause()
{
    const bool refused = m_liveAction->isChecked() && m_listedBusy;
    m_status->setLivePaused(m_liveFeed->isPaused() || refused);
}

void Tallyview::watchIndex()
{
    const bool building = SystemLog::qzSysLog::instance()->writer().isBuildingIndex();
    m_status->setIndexing(building);
    if (building)
        QTimer::singleShot(kIndexPollMs, this, &Tallyview::watchIndex);
}

void Tallyview::watchSetAside(int looksLeft, const QStringList &before)
{
    const QStringList names = SystemLog::DamagedLog::setAsideBeside(logPath());
    m_status->setSetAside(names);
    if (looksLeft > 0 && names == before)
        QTimer::singleShot(kSetAsidePollMs, this,
                           [this, looksLeft, names] { watchSetAside(looksLeft - 1, names); });
}
