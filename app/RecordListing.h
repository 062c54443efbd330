#pragma once

#include "LogTypes.h"

#include <QFont>
#include <QObject>
#include <QString>

#include <vector>

class QScrollBar;
class QTextEdit;

// Shows a query's records in the window's text view, at any number of records.
//
// The listing text is each record as "<date-time>:\n<message>", one record after the other, each
// on a new line. A listing of up to kWholeLimit records is the view's whole text, editable, exactly
// as it always was. A longer one would have the view lay out millions of lines in the background
// for minutes, so the view then holds only a window of a few hundred records around what is on
// screen, read-only, and the window moves with scrolling. The view keeps its own vertical scroll
// bar for scrolling inside the window; a second scroll bar with one step per record lies over it
// and stands for the whole listing.
//
// It drives the form's own QTextEdit rather than putting another view in its place: the form, its
// widget names, fonts and layout stay as they are, and an ordinary listing is the same document it
// always was. What the view cannot do for millions of records, laying them all out, is avoided by
// giving it only the records around the screen.
//
// Every offset in the interface is a character offset into the whole listing text; the view's
// document holds the text from windowOffset() on.
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

    // Replaces what the view shows with these records, the first at the top.
    void showRows(SystemLog::LogRowList rows);
    // Replaces what the view shows with a notice, as a listing of no records.
    void showNotice(const QString &text);
    // Adds records at the end of the listing, without moving what is on screen.
    void appendRows(const SystemLog::LogRowList &rows);
    // Shows the given record at the top of the screen, or as near the top as the listing's end
    // allows.
    void positionAt(int record);
    // Shows the last record at the bottom of the screen, the cursor after it.
    void positionAtEnd();

    int recordCount() const { return int(m_rows.size()); }
    // The first listed record whose date-time text ("yyyy-MM-dd hh:mm:ss") is at or after `stamp`;
    // recordCount() when there is none.
    int firstRecordAtOrAfter(const QString &stamp) const;
    // The record at the top of the screen (0 for a notice or an empty listing).
    int topRecord() const;
    // Whether the view's document holds the whole listing (and so may be edited in the view).
    bool isWhole() const { return m_windowFirst == 0 && m_windowLast == recordCount(); }
    // Whether the listing's last record is on screen with the view scrolled as far down as it goes.
    bool isAtEnd() const;
    // Whether the view shows a notice instead of records.
    bool isNotice() const { return m_rows.isEmpty(); }
    // Whether the view's document is being refilled with another window of the same listing.
    bool isMovingWindow() const { return m_moving; }
    // Whether the listing is changing the view's text (a new listing, a notice, records added, a
    // window refilled). The view's signals meanwhile come from inside Qt's own edit of its
    // document, which nothing may call into the view to change or to read positions of.
    bool isEditingView() const { return m_editing; }

    qint64 windowOffset() const { return m_starts.empty() ? 0 : m_starts[size_t(m_windowFirst)]; }
    // The listing text of one record, without the line feed that separates it from the next.
    QString recordText(int record) const;
    qint64 recordStart(int record) const { return m_starts[size_t(record)]; }
    // The record holding that offset of the listing text.
    int recordAt(qint64 offset) const;
    // The whole listing text, as the view holds it when the listing is whole.
    QString wholeText() const;
    // Makes sure that the record holding the offset is in the view's document, moving the window
    // there (to the record's middle of the screen) if it is not, and answers the offset's
    // position in the document.
    int reveal(qint64 offset);

Q_SIGNALS:
    // The view's document now holds another window of the same listing.
    void windowMoved();
    // Records were added to a listing that the view holds in part.
    void rowsAppended();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setListingFont(int pixelSize);
    bool fillWindow(int first, int last);
    void moveWindowTo(int record, int screenY);
    void scrollRecordTo(int record, int screenY);
    void onViewScrolled();
    void onRecordBarMoved(int value);
    void syncRecordBar();
    void placeRecordBar();
    void useRecordBar(bool on);

    QTextEdit *m_view;
    QObject *m_viewBar = nullptr;  // the view's own vertical scroll bar
    QObject *m_viewport = nullptr; // the view's viewport
    QScrollBar *m_recordBar;
    SystemLog::LogRowList m_rows;
    // m_starts[i] is the offset of record i in the listing text; one more entry holds the length
    // of the text plus its final separator.
    std::vector<qint64> m_starts;
    // Records [m_windowFirst, m_windowLast) are in the view's document.
    int m_windowFirst = 0;
    int m_windowLast = 0;
    bool m_moving = false;
    bool m_editing = false;
    // The font the listing last gave the view.
    QFont m_font;
    bool m_fontGiven = false;
};
