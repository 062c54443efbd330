#include "RecordListing.h"

#include "ListingCopy.h"
#include "RecordBar.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextEdit>

#include <algorithm>
#include <utility>

namespace {

// Records in the view's document while the listing is longer than that: several screens even on
// a tall monitor with short messages, and laid out within a few milliseconds.
const int kWindowRecords = 240;
// Records kept above the record on screen when the window moves.
const int kRecordsAbove = 90;
// The window moves once the screen comes this near to one of its ends (and the listing goes on).
const int kEdgeRecords = 40;
// Rows that showed as gaps while another program held the file are read again after this.
const int kRetryMs = 500;

const int kListingPixels = 18;
const int kNoticePixels = 30;

} // namespace

RecordListing::RecordListing(QTextEdit *view)
    : QObject(view), m_view(view), m_recordBar(new RecordBar(view)), m_window(view)
{
    // Select and copy only, with the mouse and the keyboard.
    m_view->setReadOnly(true);
    m_view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_view->installEventFilter(this);
    connect(m_view->verticalScrollBar(), &QScrollBar::valueChanged, this,
            &RecordListing::onViewScrolled);
    connect(m_recordBar, &RecordBar::moved, this, &RecordListing::onRecordBarMoved);
    connect(m_recordBar, &RecordBar::viewResized, this, &RecordListing::syncRecordBar,
            Qt::QueuedConnection);
    // Copying what the view shows cut gives the whole record.
    new ListingCopy(m_view, m_rows, m_window, this);
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_pendingId >= 0)
            appendThrough(m_pendingId);
        if (m_busyGaps)
            refreshWindow();
    });
}

void RecordListing::stopWatching()
{
    m_view->removeEventFilter(this);
    m_recordBar->stopWatching();
}

void RecordListing::showListing(Listing listing, bool keepPlace)
{
    const bool keep = keepPlace && m_keep;
    m_keep = false;
    m_pendingId = -1;
    m_rows.reset(std::move(listing));
    if (isNotice()) {
        // The listing is kept for the records that live update may add.
        showText(QString::fromUtf8("没有找到相关记录"));
        return;
    }
    showFromTop();
    if (keep)
        positionAt(m_rows.rowOf(m_rows.index().firstWithIdFrom(m_keepId)));
    emit listingChanged();
}

void RecordListing::showFromTop()
{
    {
        // From here until the records are in the view, the listing and the view's document
        // disagree, and every step below has Qt edit the view, which moves its scroll bar.
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_window.setFont(kListingPixels);
        const int count = recordCount();
        const bool whole = count <= kWholeLimit;
        m_recordBar->use(!whole);
        m_window.forget();
        fillWindow(0, whole ? count : std::min(count, kWindowRecords), false);
    }
    syncRecordBar();
}

void RecordListing::showNotice(const QString &text)
{
    m_keep = false;
    m_pendingId = -1;
    m_rows.clear();
    showText(text);
}

void RecordListing::showText(const QString &text)
{
    {
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_window.setFont(kNoticePixels);
        m_recordBar->use(false);
        m_window.setText(text);
    }
    emit listingChanged();
}

void RecordListing::release()
{
    if (!m_rows.hasListing())
        return;
    m_keep = !isNotice();
    if (m_keep)
        m_keepId = m_rows.index().id(m_rows.recordOf(topRecord()));
    m_rows.clear();
    m_window.forget();
    m_pendingId = -1;
    m_busyGaps = false;
    {
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_recordBar->use(false);
    }
    emit listingChanged();
}

void RecordListing::appendThrough(qint64 lastId)
{
    if (!m_rows.hasListing() || lastId <= m_rows.lastId())
        return;
    const int oldCount = listedCount();
    const int oldRows = recordCount();
    if (!m_rows.extend(lastId)) {
        // Asked for again shortly; live update goes on meanwhile.
        m_pendingId = lastId;
        m_retry.start();
        return;
    }
    m_pendingId = -1;
    if (listedCount() == oldCount)
        return;
    if (!isFiltered())
        rowsAdded(oldRows);
    emit recordsAdded(oldCount);
}

// Rows were added after row oldCount - 1: the screen stays where it was.
void RecordListing::rowsAdded(int oldCount)
{
    if (oldCount == 0) {
        showFromTop();
        return;
    }
    const bool wasWhole = m_window.first() == 0 && m_window.last() == oldCount;
    const int top = topRecord();
    if (wasWhole && recordCount() <= kWholeLimit) {
        m_window.extend(m_rows, recordCount(), &m_busyGaps);
        if (m_busyGaps)
            m_retry.start();
        return;
    }
    if (wasWhole) {
        const QScopedValueRollback<bool> editing(m_editing, true);
        m_recordBar->use(true);
    }
    // A window that ended with the listing takes in the new rows; one that did not is left.
    if (m_window.last() == oldCount)
        moveWindowTo(top, m_window.screenTop(top));
    syncRecordBar();
}

void RecordListing::positionAt(int record)
{
    if (isNotice())
        return;
    record = std::max(0, std::min(record, recordCount() - 1));
    const bool inside =
        (m_window.first() == 0 || record >= m_window.first() + kEdgeRecords) &&
        (m_window.last() == recordCount() || record + kEdgeRecords <= m_window.last());
    if (inside)
        m_window.scrollRowTo(record, 0);
    else
        moveWindowTo(record, 0);
    syncRecordBar();
}

void RecordListing::positionAtEnd()
{
    if (isNotice())
        return;
    if (m_window.last() != recordCount())
        moveWindowTo(recordCount() - 1, 0);
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    m_view->setTextCursor(cursor);
    QScrollBar *own = m_view->verticalScrollBar();
    own->setValue(own->maximum());
    syncRecordBar();
}

int RecordListing::firstRecordAtOrAfter(const QString &stamp, const QString &before) const
{
    if (!m_rows.hasListing())
        return recordCount();
    const ListingIndex &index = m_rows.index();
    return m_rows.rowOf(before.isEmpty() ? index.firstAtOrAfter(stamp)
                                         : index.firstWithin(stamp, before));
}

int RecordListing::topRecord() const
{
    return isNotice() ? 0 : m_window.rowAtScreen(0);
}

QString RecordListing::recordText(int record) const
{
    if (record < 0 || record >= recordCount())
        return QString();
    return m_rows.wholeText(record, record + 1);
}

QString RecordListing::wholeText() const
{
    return m_rows.wholeText(0, recordCount());
}

int RecordListing::reveal(qint64 position)
{
    const int row = m_rows.rowOf(ListingWindow::recordOf(position));
    if (!isNotice() && (row < m_window.first() || row >= m_window.last())) {
        moveWindowTo(std::min(row, recordCount() - 1), m_view->viewport()->height() / 3);
        syncRecordBar();
    }
    return documentPosition(position);
}

void RecordListing::showOnly(std::vector<int> records)
{
    if (!m_rows.hasListing())
        return;
    m_rows.filter(std::move(records));
    showFromTop();
    emit windowMoved();
}

void RecordListing::alsoShow(const std::vector<int> &records)
{
    if (!isFiltered() || records.empty())
        return;
    const int oldRows = recordCount();
    m_rows.addToFilter(records);
    rowsAdded(oldRows);
    emit windowMoved();
}

void RecordListing::showAll()
{
    if (!isFiltered())
        return;
    const int record = isNotice() ? 0 : m_rows.recordOf(topRecord());
    m_rows.unfilter();
    showFromTop();
    positionAt(record);
    emit windowMoved();
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
    }
    return QObject::eventFilter(watched, event);
}

void RecordListing::fillWindow(int first, int last, bool sameListing, bool *kept)
{
    const bool isKept = m_window.fill(m_rows, first, last, sameListing, &m_busyGaps);
    if (kept)
        *kept = isKept;
    if (m_busyGaps)
        m_retry.start();
    if (isWhole())
        return; // laid out as usual, from the top, while the first screen shows
    // A window is laid out at once: the positions on screen are then exact, and no layout is
    // left to run in the background. The view sized its scroll bar from an estimate while the
    // layout was under way; told the finished size, it sizes the bar again.
    QAbstractTextDocumentLayout *layout = m_view->document()->documentLayout();
    emit layout->documentSizeChanged(layout->documentSize());
}

void RecordListing::moveWindowTo(int record, int screenY)
{
    const int count = recordCount();
    const int first = std::max(0, std::min(record - kRecordsAbove, count - kWindowRecords));
    const int last = std::min(count, first + kWindowRecords);
    m_moving = true;
    bool kept = false;
    fillWindow(first, last, true, &kept);
    if (!kept) {
        // Keys then move on from the record shown, not from the start of the window.
        QTextCursor cursor(m_view->document());
        cursor.setPosition(m_window.rowStart(record));
        m_view->setTextCursor(cursor);
    }
    m_window.scrollRowTo(record, screenY);
    m_moving = false;
    emit windowMoved();
}

// The same rows read again, where they showed as gaps for a busy file.
void RecordListing::refreshWindow()
{
    if (isNotice())
        return;
    const int top = topRecord();
    const int screenY = m_window.screenTop(top);
    if (!isWhole()) {
        moveWindowTo(top, screenY);
        return;
    }
    m_moving = true;
    fillWindow(0, recordCount(), true);
    m_window.scrollRowTo(top, screenY);
    m_moving = false;
    emit windowMoved();
}

void RecordListing::onViewScrolled()
{
    // Scrolled by Qt inside an edit of the listing's own (clearing the document clamps the scroll
    // bar to the empty text): calling into the view from here would edit the document in the middle
    // of that edit. The listing places the view itself once its edit is done.
    if (m_moving || isEditingView() || isWhole())
        return;
    const int top = topRecord();
    const int bottom = m_window.rowAtScreen(m_view->viewport()->height());
    const bool nearStart = m_window.first() > 0 && top < m_window.first() + kEdgeRecords;
    const bool nearEnd =
        m_window.last() < recordCount() && bottom >= m_window.last() - kEdgeRecords;
    // The record at the top stays exactly where it is on screen.
    if (nearStart || nearEnd)
        moveWindowTo(top, m_window.screenTop(top));
    syncRecordBar();
}

void RecordListing::onRecordBarMoved(int value)
{
    if (m_moving || isEditingView() || isNotice())
        return;
    if (value >= m_recordBar->maximum()) {
        // The bottom of the bar is the end of the listing.
        if (m_window.last() != recordCount())
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
    return m_window.last() == recordCount() && own->value() >= own->maximum();
}

// The record bar shows the record at the top of the screen, and the listing's end once the last
// record is on screen and the view cannot scroll further.
void RecordListing::syncRecordBar()
{
    if (isWhole() || m_recordBar->isDragged())
        return;
    const int top = topRecord();
    const int bottom = m_window.rowAtScreen(m_view->viewport()->height());
    m_recordBar->show(top, bottom - top, recordCount(), isAtEnd());
}
