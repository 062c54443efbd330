#pragma once

#include "LogTypes.h"
#include "ui_Tallyview.h"

#include <QMainWindow>
#include <QMap>
#include <QString>
#include <QStringList>

class DayExporter;
class FindBar;
class ListingQuery;
class LiveFeed;
class RecordListing;
class StatusLine;
class Timeline;
class QAction;
class QCloseEvent;
class QPoint;

// The log viewer's main window: lists the records of one category for a day or a time range,
// finds text in the listing, adds records to it as programs store them (live update) and exports a
// day's records to a text file. It starts the log service when it is built and releases it when
// it is destroyed.
class QTimer;

class Tallyview : public QMainWindow
{
    Q_OBJECT

public:
    explicit Tallyview(QWidget *parent = nullptr);
    ~Tallyview() override;

public Q_SLOTS:
    // Serves all five buttons; tells them apart by the sender's object name.
    void onButtonClicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setUpViewer();
    void setUpMends();
    void queryByDay();
    void queryByRange();
    void exportDay();
    void openFind();
    void showViewMenu(const QPoint &pos);

    // One query as listed: its category and bounds (both included); a day's query is run as one.
    struct ListedQuery
    {
        QString day; // a query by day: "yyyy-MM-dd"; empty for a range
        QString from;
        QString to;
        int type = 0;
    };
    // Starts the query, whose outcome is shown when it arrives; with keepPlace, the record at the
    // top of the screen stays there (F5). A query started meanwhile replaces it.
    void list(const ListedQuery &query, bool keepPlace);
    void showListed();
    void refresh();
    void followListing();
    void appendLive(const SystemLog::LogRowList &rows, qint64 lastId);
    static QString logPath();
    // "<category> · <day or range>" of a query, as the status line names it.
    QString describe(const ListedQuery &query) const;
    void showLivePause();
    // Shows the notice of the log's index being built for as long as it is.
    void watchIndex();
    // Shows the damaged logs set aside beside the log; after a listing that met damage, looks
    // again a few times while the service checks the file and sets it aside.
    void watchSetAside(int looksLeft, const QStringList &before);

    Ui::TallyviewClass ui;
    QMap<int, QString> m_logTypeMap;
    int m_comBoxIndex = 0;
    // What textEdit shows of a listing, whatever its length.
    RecordListing *m_listing = nullptr;
    // Made when first opened, so that the window starts with the form's widgets only.
    FindBar *m_findBar = nullptr;

    // Live update: the checkable entry (also Ctrl+L), the feed, and what it follows: the last
    // listed query and the highest id read for it (-1: nothing listed, or the query failed).
    QAction *m_liveAction = nullptr;
    LiveFeed *m_liveFeed = nullptr;
    ListedQuery m_listed;
    qint64 m_listedId = -1;
    // A listing that failed because another program held the file is asked for again while live
    // update is on, once a second, until it is shown.
    bool m_listedBusy = false;
    QTimer *m_busyRetry = nullptr;

    // The query being prepared (shown with the wait cursor), and where the view stays once shown.
    ListingQuery *m_query = nullptr;
    ListedQuery m_preparing;
    bool m_keepPlace = false; // the record at the top stays there (F5)
    bool m_waitCursor = false;

    // The line under the view, the export running off the window's thread, the timeline.
    StatusLine *m_status = nullptr;
    DayExporter *m_exporter = nullptr;
    Timeline *m_timeline = nullptr;
};
