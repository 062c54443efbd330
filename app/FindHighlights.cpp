#include "FindHighlights.h"

#include "ListingSearch.h"
#include "RecordListing.h"

#include <QAbstractTextDocumentLayout>
#include <QColor>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <utility>

namespace FindHighlights {

namespace {

// The characters on screen, from the blocks' own layouts. A long document is laid out lazily, from
// its start, after it is set; until that is complete, the view's hit test (cursorForPosition)
// answers with positions far from the screen, and slowly. The laid-out blocks are a prefix of the
// document, so the first block on screen is found by bisection among them.
std::pair<int, int> visibleRange(const QTextEdit *view)
{
    const QTextDocument *document = view->document();
    const qreal top = view->verticalScrollBar()->value();
    const qreal bottom = top + view->viewport()->height();
    const auto laidOut = [](const QTextBlock &block) { return block.layout()->lineCount() > 0; };
    const auto blockBottom = [](const QTextBlock &block) {
        return block.layout()->position().y() + block.layout()->boundingRect().height();
    };
    // The first block that is not laid out or ends below the top of the screen.
    int low = 0;
    int high = document->blockCount();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const QTextBlock block = document->findBlockByNumber(middle);
        if (!laidOut(block) || blockBottom(block) > top)
            high = middle;
        else
            low = middle + 1;
    }
    QTextBlock block = document->findBlockByNumber(low);
    const int first = block.position();
    int end = first;
    // blockBoundingRect lays out a block that Qt has not reached yet, as painting it would.
    const QAbstractTextDocumentLayout *layout = document->documentLayout();
    for (; block.isValid() && layout->blockBoundingRect(block).top() < bottom; block = block.next())
        end = block.position() + block.length();
    return {first, end};
}

} // namespace

QTextCursor matchCursor(QTextDocument *document, int position, int length)
{
    QTextCursor cursor(document);
    cursor.setPosition(position);
    cursor.setPosition(position + length, QTextCursor::KeepAnchor);
    return cursor;
}

QList<QTextEdit::ExtraSelection> onScreen(const QTextEdit *view, const RecordListing &listing,
                                          const ListingSearch &search, int current)
{
    QList<QTextEdit::ExtraSelection> selections;
    const QVector<qint64> &matches = search.matches();
    if (!matches.isEmpty() && !listing.isNotice()) {
        const std::pair<int, int> range = visibleRange(view);
        const qint64 from = listing.listingPosition(range.first);
        const qint64 to = listing.listingPosition(std::max(range.first, range.second - 1));
        const int length = search.length();
        // Matches that end after the first character on screen and start up to the last one.
        auto it = std::upper_bound(matches.cbegin(), matches.cend(), from - length);
        for (; it != matches.cend() && *it <= to; ++it) {
            const int at = listing.documentPosition(*it);
            if (at < 0)
                continue;
            QTextEdit::ExtraSelection selection;
            selection.cursor = matchCursor(view->document(), at, length);
            const bool isCurrent = it - matches.cbegin() == current;
            selection.format.setBackground(isCurrent ? QColor(255, 150, 50) : QColor(255, 230, 90));
            selections.append(selection);
        }
    }
    return selections;
}

} // namespace FindHighlights
