#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLabel;
class QMainWindow;
class QProgressBar;

// The line under the window's view: which listing the view shows (its category, its span and its
// number of records), and what the window is doing or waiting for: a query or an export under
// way (with a busy indicator), the log's index being built, live update paused while another
// program holds the log. A mend of the form, made in code: the form itself has no status bar.
class StatusLine : public QObject
{
    Q_OBJECT

public:
    explicit StatusLine(QMainWindow *window);

    // "报警记录 · 2024-03-15": a listing's category and span. A day is shown as the day; a range
    // as its two moments.
    static QString describe(const QString &category, const QString &day, const QString &from,
                            const QString &to);

    // The listing shown: what it is and how many records it holds.
    void showListing(const QString &what, int count);
    // The listing asked for could not be read.
    void showFailure(const QString &what);
    // A query for this listing is under way (empty: none).
    void setQuerying(const QString &what);
    void setExporting(bool on);
    void setIndexing(bool on);
    void setLivePaused(bool on);
    // The damaged logs that a writer set aside beside the log (their names; empty: none).
    void setSetAside(const QStringList &names);

private:
    void update();

    QLabel *m_listing;
    QLabel *m_state;
    QProgressBar *m_busy;
    QString m_querying;
    bool m_exporting = false;
    bool m_indexing = false;
    bool m_paused = false;
    QStringList m_setAside;
};
