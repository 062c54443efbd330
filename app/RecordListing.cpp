#include "RecordListing.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QKeyEvent>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>

namespace {

// Records in the view's document while the listing is longer than that: several screens even on
// a tall monitor with short messages, and laid out within a few milliseconds.
const int kWindowRecords = 240;
// Records kept above the record on screen when the window moves.
const int kRecordsAbove = 90;
// The window moves once the screen comes this near to one of its ends (and the listing goes on).
const int kEdgeRecords = 40;

const int kHiddenPixels = 2;

const int kListingPixels = 18;
const int kNoticePixels = 30;

// A stored text as a window holds it. The view's document takes "\r\n" for one line break, so
// every carriage return is made a line feed first: offsets in the listing text are then offsets
// in the document. Texts of other programs may hold any characters.
QString shown(const QString &text)
{
    if (!text.contains(QLatin1Char('\r')))
        return text;
    QString lines = text;
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return lines;
}

void appendRecord(QString &out, const SystemLog::LogRow &row)
{
    out += shown(row.first);
    out += QLatin1String(":\n");
    out += shown(row.second);
}

qint64 recordLength(const SystemLog::LogRow &row)
{
    return qint64(shown(row.first).size()) + 2 + shown(row.second).size();
}

} // namespace

RecordListing::RecordListing(QTextEdit *view)
    : QObject(view), m_view(view), m_recordBar(new QScrollBar(Qt::Vertical))
{
    // Over the view's own scroll bar, in the same container, so that it takes its place exactly.
    QScrollBar *own = m_view->verticalScrollBar();
    m_recordBar->setParent(own->parentWidget());
    m_recordBar->setObjectName(QStringLiteral("recordScrollBar"));
    m_recordBar->setSingleStep(1);
    m_recordBar->hide();
    // Kept, so that the filter never calls into a view that is being destroyed.
    m_viewBar = own;
    m_viewport = m_view->viewport();
    own->installEventFilter(this);
    m_view->installEventFilter(this);
    m_viewport->installEventFilter(this);
    connect(own, &QScrollBar::valueChanged, this, &RecordListing::onViewScrolled);
    connect(m_recordBar, &QScrollBar::valueChanged, this, &RecordListing::onRecordBarMoved);
}

void RecordListing::stopWatching()
{
    m_view->verticalScrollBar()->removeEventFilter(this);
    m_view->removeEventFilter(this);
    m_view->viewport()->removeEventFilter(this);
}

void RecordListing::showRows(SystemLog::LogRowList rows)
{
    if (rows.isEmpty()) {
        showNotice(QString::fromUtf8("没有找到相关记录"));
        return;
    }
    {
        // From here until the new records are in the view, the listing and the view's document
        // disagree, and every step below has Qt edit the view, which moves its scroll bar.
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_rows = std::move(rows);
        m_starts.clear();
        m_starts.reserve(size_t(m_rows.size()) + 1);
        qint64 offset = 0;
        for (const SystemLog::LogRow &row : qAsConst(m_rows)) {
            m_starts.push_back(offset);
            offset += recordLength(row) + 1;
        }
        m_starts.push_back(offset);
        m_windowFirst = m_windowLast = 0;

        setListingFont(kListingPixels);
        const int count = recordCount();
        const bool whole = count <= kWholeLimit;
        m_view->setReadOnly(!whole);
        useRecordBar(!whole);
        // Not a window move: whoever follows the document sees a new listing.
        fillWindow(0, whole ? count : std::min(count, kWindowRecords));
    }
    syncRecordBar();
}

void RecordListing::showNotice(const QString &text)
{
    const QScopedValueRollback<bool> editing(m_editing, true);
    m_rows.clear();
    m_starts.clear();
    m_windowFirst = m_windowLast = 0;
    setListingFont(kNoticePixels);
    m_view->setReadOnly(false);
    useRecordBar(false);
    m_view->setPlainText(text);
}

void RecordListing::appendRows(const SystemLog::LogRowList &rows)
{
    if (rows.isEmpty())
        return;
    if (isNotice()) {
        showRows(rows);
        return;
    }
    const int oldCount = recordCount();
    const bool wasWhole = isWhole();
    const int top = topRecord();
    m_rows.append(rows);
    qint64 offset = m_starts.back();
    for (const SystemLog::LogRow &row : rows) {
        offset += recordLength(row) + 1;
        m_starts.push_back(offset);
    }
    if (wasWhole && recordCount() <= kWholeLimit) {
        // The same text that a listing of all these records would hold, added at the end.
        QString text;
        for (const SystemLog::LogRow &row : rows)
            text += QLatin1Char('\n') + row.first + QLatin1String(":\n") + row.second;
        const QScopedValueRollback<bool> editing(m_editing, true);
        QTextCursor cursor(m_view->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
        m_windowLast = recordCount();
        return;
    }
    if (wasWhole) {
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_view->setReadOnly(true);
        useRecordBar(true);
    }
    // A window that ended with the listing takes in the new records; one that did not is left.
    if (m_windowLast == oldCount) {
        const QTextBlock block =
            m_view->document()->findBlock(int(m_starts[size_t(top)] - windowOffset()));
        const int screenY =
            int(m_view->document()->documentLayout()->blockBoundingRect(block).top()) -
            m_view->verticalScrollBar()->value();
        moveWindowTo(top, screenY);
    }
    syncRecordBar();
    emit rowsAppended();
}

void RecordListing::positionAt(int record)
{
    if (isNotice())
        return;
    record = std::max(0, std::min(record, recordCount() - 1));
    const bool inside = (m_windowFirst == 0 || record >= m_windowFirst + kEdgeRecords) &&
                        (m_windowLast == recordCount() || record + kEdgeRecords <= m_windowLast);
    if (inside)
        scrollRecordTo(record, 0);
    else
        moveWindowTo(record, 0);
    syncRecordBar();
}

void RecordListing::positionAtEnd()
{
    if (isNotice())
        return;
    if (m_windowLast != recordCount())
        moveWindowTo(recordCount() - 1, 0);
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    m_view->setTextCursor(cursor);
    QScrollBar *own = m_view->verticalScrollBar();
    own->setValue(own->maximum());
    syncRecordBar();
}

int RecordListing::topRecord() const
{
    if (isNotice())
        return 0;
    const QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    // A line of which no more than a pixel or two shows belongs to the record above the screen.
    const int position = layout->hitTest(
        QPointF(0, m_view->verticalScrollBar()->value() + kHiddenPixels), Qt::FuzzyHit);
    return recordAt(windowOffset() + std::max(0, position));
}

int RecordListing::firstRecordAtOrAfter(const QString &stamp) const
{
    // Records come in the order they were stored, so their stamps normally ascend; a clock set
    // back breaks that order, and the first such record is then found by looking at each.
    const auto begin = m_rows.cbegin();
    const auto end = m_rows.cend();
    const auto earlier = [](const SystemLog::LogRow &row, const QString &s) {
        return row.first < s;
    };
    if (std::is_sorted(begin, end, [](const SystemLog::LogRow &a, const SystemLog::LogRow &b) {
            return a.first < b.first;
        }))
        return int(std::lower_bound(begin, end, stamp, earlier) - begin);
    return int(std::find_if(begin, end, [&](const SystemLog::LogRow &row) {
                   return !earlier(row, stamp);
               }) - begin);
}

QString RecordListing::recordText(int record) const
{
    const SystemLog::LogRow &row = m_rows.at(record);
    QString text;
    text.reserve(int(recordLength(row)));
    appendRecord(text, row);
    return text;
}

int RecordListing::recordAt(qint64 offset) const
{
    if (m_starts.size() < 2)
        return 0;
    const auto after = std::upper_bound(m_starts.cbegin(), m_starts.cend() - 1, offset);
    return std::max(0, int(after - m_starts.cbegin()) - 1);
}

QString RecordListing::wholeText() const
{
    QString text;
    if (!m_starts.empty())
        text.reserve(int(std::min<qint64>(m_starts.back(), INT_MAX)));
    for (const SystemLog::LogRow &row : m_rows) {
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        appendRecord(text, row);
    }
    return text;
}

int RecordListing::reveal(qint64 offset)
{
    const int record = recordAt(offset);
    if (!isNotice() && (record < m_windowFirst || record >= m_windowLast)) {
        moveWindowTo(record, m_view->viewport()->height() / 3);
        syncRecordBar();
    }
    return int(offset - windowOffset());
}

bool RecordListing::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_view && event->type() == QEvent::KeyPress && !isWhole()) {
        // Start and end of the listing, not of the window that the document holds.
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->modifiers() == Qt::ControlModifier && key->key() == Qt::Key_Home) {
            positionAt(0);
            m_view->setTextCursor(QTextCursor(m_view->document()));
            return true;
        }
        if (key->modifiers() == Qt::ControlModifier && key->key() == Qt::Key_End) {
            positionAtEnd();
            return true;
        }
    } else if (watched == m_viewport && event->type() == QEvent::Resize) {
        // Another height holds another number of records on screen.
        if (!isWhole())
            QMetaObject::invokeMethod(this, &RecordListing::syncRecordBar, Qt::QueuedConnection);
    } else if (watched == m_viewBar) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            placeRecordBar();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void RecordListing::setListingFont(int pixelSize)
{
    // The application's font at the given pixel size for the whole view.
    QFont font = QApplication::font();
    font.setPixelSize(pixelSize);
    // Compared with the font given last, not with the view's: the view's own font is the given one
    // resolved, which carries more (its family list filled in) and never compares equal to it.
    if (!m_fontGiven || m_font != font) {
        // Emptied first, so that the font change does not lay out the previous contents again.
        m_view->clear();
        m_view->setFont(font);
        m_font = font;
        m_fontGiven = true;
    }
}

// Puts records [first, last) into the view's document. The selection is kept where it lies in the
// new window; answers whether it was, the cursor being at the start of the document otherwise.
bool RecordListing::fillWindow(int first, int last)
{
    // Only the offsets are kept: no cursor of the old document outlives the new text.
    const qint64 anchor = windowOffset() + m_view->textCursor().anchor();
    const qint64 position = windowOffset() + m_view->textCursor().position();
    const bool sameListing = m_moving;
    const QScopedValueRollback<bool> editing(m_editing, true);

    m_windowFirst = first;
    m_windowLast = last;
    QString text;
    text.reserve(int(m_starts[size_t(last)] - m_starts[size_t(first)]));
    for (int record = first; record < last; ++record) {
        if (record > first)
            text += QLatin1Char('\n');
        if (isWhole()) {
            // Exactly the stored texts, as the view has always been given them.
            const SystemLog::LogRow &row = m_rows.at(record);
            text += row.first + QLatin1String(":\n") + row.second;
        } else {
            appendRecord(text, m_rows.at(record));
        }
    }
    m_view->setPlainText(text);
    if (isWhole())
        return false; // laid out as usual, from the top, while the first screen shows
    // A window is laid out at once: the positions on screen are then exact, and no layout is
    // left to run in the background. The view sized its scroll bar from an estimate while the
    // layout was under way; told the finished size, it sizes the bar again.
    QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    emit layout->documentSizeChanged(layout->documentSize());

    const qint64 begin = windowOffset();
    const qint64 end = begin + text.size();
    if (sameListing && anchor >= begin && anchor <= end && position >= begin && position <= end) {
        QTextCursor cursor(m_view->document());
        cursor.setPosition(int(anchor - begin));
        cursor.setPosition(int(position - begin), QTextCursor::KeepAnchor);
        m_view->setTextCursor(cursor);
        return true;
    }
    return false;
}

void RecordListing::moveWindowTo(int record, int screenY)
{
    const int count = recordCount();
    const int first = std::max(0, std::min(record - kRecordsAbove, count - kWindowRecords));
    const int last = std::min(count, first + kWindowRecords);
    m_moving = true;
    if (!fillWindow(first, last)) {
        // Keys then move on from the record shown, not from the start of the window.
        QTextCursor cursor(m_view->document());
        cursor.setPosition(int(m_starts[size_t(record)] - windowOffset()));
        m_view->setTextCursor(cursor);
    }
    scrollRecordTo(record, screenY);
    m_moving = false;
    emit windowMoved();
}

// Scrolls the view so that the record's first line is at screenY of the viewport.
void RecordListing::scrollRecordTo(int record, int screenY)
{
    QTextDocument *document = m_view->document();
    const QTextBlock block = document->findBlock(int(m_starts[size_t(record)] - windowOffset()));
    QAbstractTextDocumentLayout *layout = document->documentLayout();
    const int value = int(layout->blockBoundingRect(block).top()) - screenY;
    QScrollBar *own = m_view->verticalScrollBar();
    if (value > own->maximum()) {
        // A whole listing still being laid out: the bar's range is an estimate that may end short
        // of the record. Laid out to the end, the view sizes it from the true height.
        emit layout->documentSizeChanged(layout->documentSize());
    }
    own->setValue(value);
}

void RecordListing::onViewScrolled()
{
    // Scrolled by Qt inside an edit of the listing's own (clearing the document clamps the scroll
    // bar to the empty text): calling into the view from here would edit the document in the middle
    // of that edit. The listing places the view itself once its edit is done.
    if (m_moving || m_editing || isWhole())
        return;
    const int top = topRecord();
    const QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    const int bottomPosition = layout->hitTest(
        QPointF(0, m_view->verticalScrollBar()->value() + m_view->viewport()->height()),
        Qt::FuzzyHit);
    const int bottom = recordAt(windowOffset() + std::max(0, bottomPosition));
    const bool nearStart = m_windowFirst > 0 && top < m_windowFirst + kEdgeRecords;
    const bool nearEnd = m_windowLast < recordCount() && bottom >= m_windowLast - kEdgeRecords;
    if (nearStart || nearEnd) {
        // The record at the top stays exactly where it is on screen.
        const QTextBlock block =
            m_view->document()->findBlock(int(m_starts[size_t(top)] - windowOffset()));
        const int screenY =
            int(layout->blockBoundingRect(block).top()) - m_view->verticalScrollBar()->value();
        moveWindowTo(top, screenY);
    }
    syncRecordBar();
}

void RecordListing::onRecordBarMoved(int value)
{
    if (m_moving || m_editing)
        return;
    if (value >= m_recordBar->maximum()) {
        // The bottom of the bar is the end of the listing.
        if (m_windowLast != recordCount())
            moveWindowTo(recordCount() - 1, 0);
        QScrollBar *own = m_view->verticalScrollBar();
        own->setValue(own->maximum());
    } else {
        positionAt(value);
    }
}

bool RecordListing::isAtEnd() const
{
    const QScrollBar *own = m_view->verticalScrollBar();
    return m_windowLast == recordCount() && own->value() >= own->maximum();
}

// The record bar shows the record at the top of the screen, and the listing's end once the last
// record is on screen and the view cannot scroll further.
void RecordListing::syncRecordBar()
{
    if (isWhole() || m_recordBar->isSliderDown())
        return;
    const QScrollBar *own = m_view->verticalScrollBar();
    const int top = topRecord();
    const QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    const int bottomPosition =
        layout->hitTest(QPointF(0, own->value() + m_view->viewport()->height()), Qt::FuzzyHit);
    const int bottom = recordAt(windowOffset() + std::max(0, bottomPosition));
    const bool atEnd = isAtEnd();
    const QSignalBlocker blocker(m_recordBar);
    m_recordBar->setRange(0, recordCount() - 1);
    m_recordBar->setPageStep(std::max(1, bottom - top));
    m_recordBar->setValue(atEnd ? recordCount() - 1 : top);
}

void RecordListing::placeRecordBar()
{
    const QScrollBar *own = m_view->verticalScrollBar();
    m_recordBar->setGeometry(own->geometry());
    m_recordBar->raise();
}

void RecordListing::useRecordBar(bool on)
{
    // The view's own bar stays in place under the record bar, so that the viewport keeps its
    // width whether or not the window needs to scroll.
    m_view->setVerticalScrollBarPolicy(on ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    m_recordBar->setVisible(on);
    if (on)
        placeRecordBar();
}
