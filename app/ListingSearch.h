#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <vector>

class RecordListing;

// The matches of a text in a listing, found over every listed record, whatever part of the
// listing the view holds and whichever records it shows. Matching is plain text, ignoring case.
// The records are read from the listing's file a slice per turn of the event loop, so that the
// window answers meanwhile; a listing of moderate size keeps its texts, folded, once read, and
// is then searched again at once for each key. Each match is a listing position
// (ListingWindow::position), in order.
class ListingSearch : public QObject
{
    Q_OBJECT

public:
    explicit ListingSearch(RecordListing *listing);

    // Searches the listing for `text` from its first record (an empty text matches nothing).
    void start(const QString &text);
    // Forgets the matches and what was read: the listing is another one.
    void reset();
    // Searches the records added at the end, from `first` on, for the current text.
    void searchAdded(int first);

    bool isComplete() const { return m_next >= m_end; }
    bool isEmptyText() const { return m_length == 0; }
    const QVector<qint64> &matches() const { return m_matches; }
    int length() const { return m_length; }
    // The records of matches [from, end), each once.
    std::vector<int> recordsOf(int from) const;

Q_SIGNALS:
    // Matches [firstNew, end) were found; complete: every record has been searched.
    void found(int firstNew, bool complete);

private:
    void scan();
    void searchCache(int fromRecord);
    void take(int record, const QString &folded, int at);

    RecordListing *m_listing;
    QTimer m_timer;
    QString m_query; // case folded
    int m_length = 0;
    QVector<qint64> m_matches;
    int m_next = 0; // the records [m_next, m_end) are still to be searched
    int m_end = 0;
    // The listing's texts as the view shows them, folded, one after the other, and where each
    // record's text starts in them, for the records read so far from the first on.
    QString m_cache;
    std::vector<int> m_cacheStarts;
    bool m_cacheUsable = true;
};
