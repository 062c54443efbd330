#include "ListingWindow.h"

#include "ListingRows.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>

namespace {

// A line of which no more than a pixel or two shows belongs to the row above it.
const int kHiddenPixels = 2;

} // namespace

ListingWindow::ListingWindow(QTextEdit *view) : m_view(view) {}

void ListingWindow::setFont(int pixelSize)
{
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    // Compared with the font given last, not with the view's: the view's own font is the given one
    // resolved, which carries more (its family list filled in) and never compares equal to it.
    if (m_fontGiven && m_font == font)
        return;
    m_view->clear();
    m_view->setFont(font);
    m_font = font;
    m_fontGiven = true;
}

bool ListingWindow::fill(const ListingRows &rows, int first, int last, bool sameListing, bool *busy)
{
    // Only listing positions are kept: no cursor of the old document outlives the new text.
    const QTextCursor old = m_view->textCursor();
    const qint64 anchor = sameListing ? listingPosition(rows, old.anchor()) : -1;
    const qint64 position = sameListing ? listingPosition(rows, old.position()) : -1;

    QString text;
    std::vector<int> starts;
    starts.reserve(size_t(last - first) + 1);
    *busy = rows.texts(first, last, ListingText::Form::Shown, [&](int row, const QString &t) {
        if (row > first)
            text += QLatin1Char('\n');
        starts.push_back(text.size());
        text += t;
    });
    starts.push_back(text.size() + 1);
    m_first = first;
    m_last = last;
    m_starts = std::move(starts);
    setDocumentText(text);

    const int a = anchor < 0 ? -1 : documentPosition(rows, anchor);
    const int p = position < 0 ? -1 : documentPosition(rows, position);
    if (a < 0 || p < 0)
        return false;
    QTextCursor cursor(m_view->document());
    cursor.setPosition(a);
    cursor.setPosition(p, QTextCursor::KeepAnchor);
    m_view->setTextCursor(cursor);
    return true;
}

void ListingWindow::extend(const ListingRows &rows, int last, bool *busy)
{
    // The window holds rows: each new one goes after a line feed.
    QString text;
    int end = m_starts.back() - 1;
    m_starts.pop_back();
    *busy = rows.texts(m_last, last, ListingText::Form::Shown, [&](int, const QString &t) {
        text += QLatin1Char('\n');
        m_starts.push_back(++end);
        text += t;
        end += t.size();
    });
    m_starts.push_back(end + 1);
    m_last = last;
    const QScopedValueRollback<bool> editing(m_editing, true);
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

void ListingWindow::setText(const QString &text)
{
    forget();
    setDocumentText(text);
}

void ListingWindow::forget()
{
    m_first = m_last = 0;
    m_starts.assign(1, 0);
}

void ListingWindow::setDocumentText(const QString &text)
{
    const QScopedValueRollback<bool> editing(m_editing, true);
    m_view->setPlainText(text);
}

int ListingWindow::rowAt(int documentPosition) const
{
    if (m_starts.size() < 2)
        return m_first;
    const auto after = std::upper_bound(m_starts.cbegin(), m_starts.cend() - 1, documentPosition);
    return m_first + std::max(0, int(after - m_starts.cbegin()) - 1);
}

qint64 ListingWindow::listingPosition(const ListingRows &rows, int documentPosition) const
{
    if (m_first >= m_last)
        return -1;
    const int row = rowAt(documentPosition);
    return position(rows.recordOf(row), std::max(0, documentPosition - rowStart(row)));
}

int ListingWindow::documentPosition(const ListingRows &rows, qint64 position) const
{
    const int record = recordOf(position);
    const int row = rows.rowOf(record);
    if (row < m_first || row >= m_last || rows.recordOf(row) != record)
        return -1;
    const int start = rowStart(row);
    const int end = m_starts[size_t(row - m_first) + 1] - 1;
    return std::min(start + offsetOf(position), end);
}

int ListingWindow::rowAtScreen(int y) const
{
    const QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    const int at = layout->hitTest(
        QPointF(0, m_view->verticalScrollBar()->value() + y + (y == 0 ? kHiddenPixels : 0)),
        Qt::FuzzyHit);
    return std::min(rowAt(std::max(0, at)), std::max(m_first, m_last - 1));
}

int ListingWindow::screenTop(int row) const
{
    QTextDocument *document = m_view->document();
    const QTextBlock block = document->findBlock(rowStart(row));
    return int(document->documentLayout()->blockBoundingRect(block).top()) -
           m_view->verticalScrollBar()->value();
}

// Scrolls the view so that the row's first line is at screenY of the viewport.
void ListingWindow::scrollRowTo(int row, int screenY)
{
    QTextDocument *document = m_view->document();
    const QTextBlock block = document->findBlock(rowStart(row));
    QAbstractTextDocumentLayout *layout = document->documentLayout();
    const int value = int(layout->blockBoundingRect(block).top()) - screenY;
    QScrollBar *own = m_view->verticalScrollBar();
    if (value > own->maximum()) {
        // A whole listing still being laid out: the bar's range is an estimate that may end short
        // of the row. Laid out to the end, the view sizes it from the true height.
        emit layout->documentSizeChanged(layout->documentSize());
    }
    own->setValue(value);
}
