#pragma once

#include <QFont>
#include <QtGlobal>

#include <vector>

class ListingRows;
class QTextEdit;

// The part of a listing that the view's document holds: rows [first(), last()), each row's text
// followed by a line feed but the last. Positions in the listing are the record and the offset in
// its text, as one number (position()), so that they stay valid whatever part the document holds
// and whichever rows are shown.
//
// Every change of the document goes through here and is flagged (isEditing()): the view's signals
// meanwhile come from inside Qt's own edit of its document, which nothing may call into the view
// to change or to read positions of.
class ListingWindow
{
public:
    explicit ListingWindow(QTextEdit *view);

    static qint64 position(int record, int offset) { return (qint64(record) << 32) | offset; }
    static int recordOf(qint64 position) { return int(position >> 32); }
    static int offsetOf(qint64 position) { return int(position & 0xffffffff); }

    int first() const { return m_first; }
    int last() const { return m_last; }
    bool isEditing() const { return m_editing; }

    // The application's font at this pixel size for the whole view (the document emptied first
    // when it changes, so that the change does not lay out the previous contents again).
    void setFont(int pixelSize);
    // Puts rows [first, last) into the document. With sameListing the selection is kept where it
    // lies in the new window; answers whether it was (the cursor is at the document's start
    // otherwise). *busy: some rows could not be read for now and show a gap.
    bool fill(const ListingRows &rows, int first, int last, bool sameListing, bool *busy);
    // Adds rows [last(), last) at the end of the document, the rest staying as it is.
    void extend(const ListingRows &rows, int last, bool *busy);
    // The document shows something else than rows (a notice), or no longer belongs to a listing.
    void setText(const QString &text);
    void forget();

    // The listing position of a document position, and back (-1 when it is not in the document).
    qint64 listingPosition(const ListingRows &rows, int documentPosition) const;
    int documentPosition(const ListingRows &rows, qint64 position) const;
    int rowAt(int documentPosition) const;
    int rowStart(int row) const { return m_starts[size_t(row - m_first)]; }
    // Where the row's text ends (before the line feed that follows it).
    int rowEnd(int row) const { return m_starts[size_t(row - m_first) + 1] - 1; }

    // The row at the given height of the viewport, the view scrolled as it is.
    int rowAtScreen(int y) const;
    // The height in the viewport at which the row begins.
    int screenTop(int row) const;
    void scrollRowTo(int row, int screenY);

private:
    void setDocumentText(const QString &text);

    QTextEdit *m_view;
    int m_first = 0;
    int m_last = 0;
    // m_starts[k] is the document position of row m_first + k; one more entry: the document's
    // length plus one.
    std::vector<int> m_starts;
    bool m_editing = false;
    // The font last given to the view.
    QFont m_font;
    bool m_fontGiven = false;
};
