#pragma once

#include "ListingRows.h"
#include "ListingWindow.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <vector>

class RecordBar;
class QTextEdit;

// Shows a query's records in the window's text view, at any number of records, read-only.
//
// The listing text is each record as "<date-time>:\n<message>", one record after the other, each
// on a new line. The listing keeps only what identifies each record (ListingIndex) and reads the
// records that the view shows from the log file they were listed from (ListingFile). A listing of
// up to kWholeLimit records is the view's whole text, exactly as it always was. A longer one would
// have the view lay out millions of lines for minutes, so the view then holds only a window of a
// few hundred records around what is on screen, and the window moves with scrolling. The view
// keeps its own vertical scroll bar for scrolling inside the window; a second scroll bar with one
// step per record lies over it and stands for the whole listing (RecordBar).
//
// It drives the form's own QTextEdit rather than putting another view in its place: the form, its
// widget names, fonts and layout stay as they are. The view is read-only: the operator selects and
// copies, never changes what the log says. Copying a record whose message the view shows cut
// (ListingText) gives the whole message.
//
// The listing may show only some of its records (matches only); record numbers in the interface
// count the records shown, but where said otherwise ("listed"), which count all of them.
class RecordListing : public QObject
{
    Q_OBJECT

public:
    // Listings of up to this many records are held whole in the view.
    static constexpr int kWholeLimit = 10000;

    explicit RecordListing(QTextEdit *view);
    // Stops watching the view's widgets: called before they are destroyed, so that none of their
    // last events reaches a listing that would call into a half-destroyed view.
    void stopWatching();

    // Replaces what the view shows with these records, the first at the top, or "没有找到相关记录"
    // when there are none. With keepPlace, the record that was at the top when the previous
    // listing was let go (or the next one still listed) is at the top again.
    void showListing(Listing listing, bool keepPlace = false);
    // Replaces what the view shows with a notice (a failed query).
    void showNotice(const QString &text);
    // Lets the records go while another query is read: the view keeps its text, and remembers
    // the record at its top for showListing's keepPlace.
    void release();
    // Adds the listing's records stored up to this id at the end, without moving what is on screen.
    void appendThrough(qint64 lastId);
    // Shows the given record at the top of the screen, or as near the top as the listing's end
    // allows.
    void positionAt(int record);
    // Shows the last record at the bottom of the screen, the cursor after it.
    void positionAtEnd();

    int recordCount() const { return m_rows.count(); }
    // The first record shown whose date-time text ("yyyy-MM-dd hh:mm:ss") is at or after `stamp`
    // (and before `before`, when one such is shown: a clock set back puts records of a moment
    // after later ones); recordCount() when there is none.
    int firstRecordAtOrAfter(const QString &stamp, const QString &before = QString()) const;
    // The record at the top of the screen (0 for a notice or an empty listing).
    int topRecord() const;
    // Whether the view's document holds every record shown.
    bool isWhole() const { return m_window.first() == 0 && m_window.last() == recordCount(); }
    // Whether the last record is on screen with the view scrolled as far down as it goes.
    bool isAtEnd() const;
    // Whether the view shows a notice instead of records.
    bool isNotice() const { return recordCount() == 0; }
    // Whether the view's document is being refilled with another part of the same listing.
    bool isMovingWindow() const { return m_moving; }
    // Whether the listing is changing the view's text. The view's signals meanwhile come from
    // inside Qt's own edit of its document, which nothing may call into the view to change or to
    // read positions of.
    bool isEditingView() const { return m_editing || m_window.isEditing(); }
    // The text of one record, with all of its message, without the line feed after it.
    QString recordText(int record) const;
    // The text of every record shown, whole.
    QString wholeText() const;

    // Finding: the listed records, their texts as the view shows them, and positions in them
    // (ListingWindow::position) against positions in the view's document (-1: not in it).
    int listedCount() const { return m_rows.recordCount(); }
    // Answers whether some could not be read for now (and show as gaps).
    bool listedTexts(int first, int last, const ListingRows::Text &onText) const
    {
        return m_rows.hasListing() &&
               m_rows.recordTexts(first, last, ListingText::Form::Shown, onText);
    }
    qint64 listingPosition(int documentPosition) const
    {
        return m_window.listingPosition(m_rows, documentPosition);
    }
    int documentPosition(qint64 position) const
    {
        return m_window.documentPosition(m_rows, position);
    }
    // Makes sure that the record of the position is in the view's document, moving the window
    // there (to the record's middle of the screen) if it is not, and answers the position in the
    // document.
    int reveal(qint64 position);

    // Matches only: shows only these listed records (ascending), these as well (after all shown
    // so far), or every record again at the record that was on screen.
    void showOnly(std::vector<int> records);
    void alsoShow(const std::vector<int> &records);
    void showAll();
    bool isFiltered() const { return m_rows.isFiltered(); }

Q_SIGNALS:
    // Another listing, a notice, or the records let go: what was found in the view is gone.
    void listingChanged();
    // The view's document now holds another part of the same listing, or other records of it.
    void windowMoved();
    // Listed records [first, listedCount()) were added at the end.
    void recordsAdded(int first);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showFromTop();
    void showText(const QString &text);
    void fillWindow(int first, int last, bool sameListing, bool *kept = nullptr);
    void moveWindowTo(int record, int screenY);
    void rowsAdded(int oldCount);
    void refreshWindow();
    void onViewScrolled();
    void onRecordBarMoved(int value);
    void syncRecordBar();

    QTextEdit *m_view;
    RecordBar *m_recordBar;
    ListingRows m_rows;
    ListingWindow m_window;
    bool m_moving = false;
    bool m_editing = false;
    // The id of the record at the top when the records were let go.
    qint64 m_keepId = 0;
    bool m_keep = false;
    // Rows shown as gaps because the file was busy are read again after a while; live records
    // that could not be read then are asked for again.
    QTimer m_retry;
    bool m_busyGaps = false;
    qint64 m_pendingId = -1;
};
