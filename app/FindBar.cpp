#include "FindBar.h"

#include "RecordListing.h"

#include <QAbstractTextDocumentLayout>
#include <QColor>
#include <QElapsedTimer>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>

#include <algorithm>
#include <utility>

namespace {

const int kMargin = 4;
// How long one slice of a search through a long listing may take.
const int kScanSliceMs = 10;

QTextCursor matchCursor(QTextDocument *document, int position, int length)
{
    QTextCursor cursor(document);
    cursor.setPosition(position);
    cursor.setPosition(position + length, QTextCursor::KeepAnchor);
    return cursor;
}

} // namespace

FindBar::FindBar(QTextEdit *view, RecordListing *listing)
    : QFrame(view), m_view(view), m_listing(listing), m_edit(new QLineEdit(this)),
      m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("findBar"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    hide();

    m_edit->setObjectName(QStringLiteral("findEdit"));
    m_edit->setPlaceholderText(QString::fromUtf8("查找"));
    m_edit->setMinimumWidth(m_edit->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 14);
    m_edit->installEventFilter(this);
    m_status->setObjectName(QStringLiteral("findStatus"));
    // Wide enough for most counts, so that the bar does not change size with every key.
    m_status->setMinimumWidth(
        m_status->fontMetrics().horizontalAdvance(QStringLiteral("00000/00000")));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->setSpacing(kMargin);
    layout->addWidget(m_edit);
    layout->addWidget(m_status);

    // A zero timer: keys that arrive together are searched once, and a key is never waited for.
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(0);
    connect(&m_searchTimer, &QTimer::timeout, this, &FindBar::search);
    connect(m_edit, &QLineEdit::textChanged, this, [this] {
        m_quiet = false;
        m_searchTimer.start();
    });
    m_scanTimer.setSingleShot(true);
    m_scanTimer.setInterval(0);
    connect(&m_scanTimer, &QTimer::timeout, this, &FindBar::scanRecords);

    // Children of the bar: a window shortcut is live only while its widget is shown, so the keys
    // step from any widget of the window while the bar is open and are free otherwise.
    auto *next = new QShortcut(QKeySequence(Qt::Key_F3), this);
    auto *previous = new QShortcut(QKeySequence(Qt::SHIFT + Qt::Key_F3), this);
    connect(next, &QShortcut::activated, this, [this] { step(1); });
    connect(previous, &QShortcut::activated, this, [this] { step(-1); });

    // Only what is on screen is highlighted, so scrolling and resizing highlight again.
    for (QScrollBar *bar : {m_view->verticalScrollBar(), m_view->horizontalScrollBar()}) {
        connect(bar, &QScrollBar::valueChanged, this, &FindBar::updateHighlights);
        connect(bar, &QScrollBar::valueChanged, this, &FindBar::rememberPlace);
    }
    connect(m_view, &QTextEdit::cursorPositionChanged, this, &FindBar::rememberPlace);
    m_view->installEventFilter(this);
    m_view->viewport()->installEventFilter(this);
    // Another part of the same listing in the document: the matches stay, their highlights move.
    connect(m_listing, &RecordListing::windowMoved, this, &FindBar::updateHighlights);
    connect(m_listing, &RecordListing::rowsAppended, this, [this] {
        m_quiet = true;
        onContentsChanged();
    });
    bindDocument();
}

void FindBar::open()
{
    bindDocument();
    place();
    show();
    raise();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
    m_quiet = false;
    rememberPlace();
    // Taken now rather than on the first key, which then only searches.
    takeText();
    search();
}

void FindBar::dismiss()
{
    m_searchTimer.stop();
    m_scanTimer.stop();
    m_atBottom = false;
    m_matches.clear();
    m_current = -1;
    m_view->setExtraSelections({});
    m_view->setFocus(Qt::OtherFocusReason);
    hide();
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const int direction = key->modifiers().testFlag(Qt::ShiftModifier) ? -1 : 1;
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            step(direction);
            return true;
        case Qt::Key_Escape:
            dismiss();
            return true;
        default:
            break;
        }
    } else if (event->type() == QEvent::Resize && !isHidden()) {
        // The view's size places the bar; the viewport's size decides what is on screen.
        place();
        if (watched == m_view->viewport())
            updateHighlights();
    }
    return QFrame::eventFilter(watched, event);
}

void FindBar::bindDocument()
{
    QTextDocument *document = m_view->document();
    if (document == m_document)
        return;
    if (m_document)
        disconnect(m_document, nullptr, this, nullptr);
    m_document = document;
    // contentsChange comes before the layout moves the scroll bars, so no stale offset is drawn.
    connect(document, &QTextDocument::contentsChange, this, [this](int at, int removed, int added) {
        // Text added at the very end (records arriving) is counted without moving the view.
        m_quiet = removed == 0 && at > 0 && at + added >= m_document->characterCount() - 1;
        onContentsChanged();
    });
    onContentsChanged();
}

void FindBar::onContentsChanged()
{
    if (m_listing->isMovingWindow())
        return;
    // The offsets belong to the old text: none is used again before the next search.
    m_scanTimer.stop();
    m_text.clear();
    m_textValid = false;
    m_matches.clear();
    m_current = -1;
    if (!isHidden())
        m_searchTimer.start();
}

void FindBar::takeText()
{
    if (m_textValid)
        return;
    // Plain text offsets are cursor positions: each block separator is one character. Case folding
    // maps each character to one of the same length, so the offsets hold in the folded text, and
    // each query is then a plain search instead of folding the whole listing for every key.
    m_text = m_document->toPlainText().toCaseFolded();
    m_textValid = true;
}

// Finds every match in the whole listing and selects the first one at or after the start of the
// view's selection, so that a longer query keeps the match that a shorter one found.
void FindBar::search()
{
    m_searchTimer.stop();
    m_scanTimer.stop();
    bindDocument();
    m_matches.clear();
    m_current = -1;
    m_query = m_edit->text().toCaseFolded();
    m_length = m_query.size();
    m_from = m_listing->windowOffset() + m_view->textCursor().selectionStart();
    if (m_query.isEmpty()) {
        foundMatches(0, true);
    } else if (m_listing->isWhole()) {
        takeText();
        for (int at = m_text.indexOf(m_query); at >= 0; at = m_text.indexOf(m_query, at + m_length))
            m_matches.append(at);
        foundMatches(0, true);
    } else {
        m_scanNext = 0;
        scanRecords();
    }
}

// Searches the records of a listing that the view holds in part, one slice per call. A record is
// searched whole: the query, from a one-line field, cannot span two records.
void FindBar::scanRecords()
{
    QElapsedTimer slice;
    slice.start();
    const int firstNew = m_matches.size();
    const int count = m_listing->recordCount();
    while (m_scanNext < count) {
        const QString text = m_listing->recordText(m_scanNext);
        const qint64 start = m_listing->recordStart(m_scanNext);
        for (int at = text.indexOf(m_query, 0, Qt::CaseInsensitive); at >= 0;
             at = text.indexOf(m_query, at + m_length, Qt::CaseInsensitive))
            m_matches.append(start + at);
        ++m_scanNext;
        if (m_scanNext % 256 == 0 && slice.elapsed() >= kScanSliceMs)
            break;
    }
    const bool complete = m_scanNext >= count;
    if (!complete)
        m_scanTimer.start();
    foundMatches(firstNew, complete);
}

// Makes the first match at or after the selection's start current as soon as it is found, or the
// first match of all once the search is complete and none follows.
void FindBar::foundMatches(int firstNew, bool complete)
{
    if (m_current < 0 && !m_matches.isEmpty()) {
        const auto next = std::lower_bound(m_matches.cbegin() + firstNew, m_matches.cend(), m_from);
        if (next != m_matches.cend())
            m_current = int(next - m_matches.cbegin());
        else if (complete)
            m_current = 0;
        // Not while someone types in the view itself: the next key would replace the selection.
        if (m_current >= 0 && !m_view->hasFocus() && !m_quiet)
            selectCurrent();
    } else if (complete && m_matches.isEmpty() && !m_view->hasFocus() && !m_quiet) {
        returnToPlace();
    }
    updateStatus();
    updateHighlights();
}

void FindBar::step(int direction)
{
    if (m_searchTimer.isActive())
        search();
    if (m_matches.isEmpty())
        return;
    const int count = m_matches.size();
    m_current = (m_current + direction + count) % count;
    selectCurrent();
    // The user went there: a text typed from now on that matches nothing comes back here.
    rememberPlace();
    updateStatus();
    updateHighlights();
}

void FindBar::selectCurrent()
{
    QScopedValueRollback<bool> moving(m_moving, true);
    const int position = m_listing->reveal(m_matches.at(m_current));
    m_view->setTextCursor(matchCursor(m_document, position, m_length));
    m_view->ensureCursorVisible();
    keepClearOfBar();
}

void FindBar::rememberPlace()
{
    if (m_moving || isHidden() || m_listing->isMovingWindow())
        return;
    if (m_listing->isEditingView()) {
        // A new listing going into the view: its cursor is read once the listing's edit is over
        // (a cursor copied now would be made inside Qt's edit of the document).
        if (!m_placePending) {
            m_placePending = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    m_placePending = false;
                    rememberPlace();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    const QTextCursor cursor = m_view->textCursor();
    m_placeWindow = m_listing->windowOffset();
    m_placeAnchor = m_placeWindow + cursor.anchor();
    m_placePosition = m_placeWindow + cursor.position();
    m_placeTop = m_listing->topRecord();
    m_placeScroll =
        QPoint(m_view->horizontalScrollBar()->value(), m_view->verticalScrollBar()->value());
}

void FindBar::returnToPlace()
{
    QScopedValueRollback<bool> moving(m_moving, true);
    const int position = m_listing->reveal(m_placePosition);
    const qint64 base = m_listing->windowOffset();
    QTextCursor cursor(m_document);
    const int end = m_document->characterCount() - 1;
    cursor.setPosition(int(qBound<qint64>(0, m_placeAnchor - base, end)));
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    m_view->setTextCursor(cursor);
    if (base == m_placeWindow) {
        m_view->horizontalScrollBar()->setValue(m_placeScroll.x());
        m_view->verticalScrollBar()->setValue(m_placeScroll.y());
    } else {
        m_listing->positionAt(m_placeTop);
    }
}

// Scrolls the current match out from under the bar; where the view cannot scroll that far (a match
// on the listing's first line), the bar goes to the view's bottom instead.
void FindBar::keepClearOfBar()
{
    m_atBottom = false;
    place();
    const auto matchRect = [this] {
        QTextCursor start = m_view->textCursor();
        QTextCursor end = start;
        start.setPosition(start.selectionStart());
        end.setPosition(end.selectionEnd());
        return m_view->cursorRect(start).united(m_view->cursorRect(end));
    };
    // The bar in the viewport's coordinates, with its margin.
    const QRect bar = geometry().translated(-m_view->viewport()->pos()).adjusted(0, 0, 0, kMargin);
    const QRect match = matchRect();
    if (!match.intersects(bar))
        return;
    QScrollBar *scrollBar = m_view->verticalScrollBar();
    scrollBar->setValue(scrollBar->value() - (bar.bottom() + 1 - match.top()));
    if (matchRect().intersects(bar)) {
        m_atBottom = true;
        place();
    }
}

// The characters on screen, from the blocks' own layouts. A long listing is laid out lazily, from
// its start, after it is set; until that is complete, the view's hit test (cursorForPosition)
// answers with positions far from the screen, and slowly. The laid-out blocks are a prefix of the
// document, so the first block on screen is found by bisection among them.
std::pair<int, int> FindBar::visibleRange() const
{
    const qreal top = m_view->verticalScrollBar()->value();
    const qreal bottom = top + m_view->viewport()->height();
    const auto laidOut = [](const QTextBlock &block) { return block.layout()->lineCount() > 0; };
    const auto blockBottom = [](const QTextBlock &block) {
        return block.layout()->position().y() + block.layout()->boundingRect().height();
    };
    // The first block that is not laid out or ends below the top of the screen.
    int low = 0;
    int high = m_document->blockCount();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const QTextBlock block = m_document->findBlockByNumber(middle);
        if (!laidOut(block) || blockBottom(block) > top)
            high = middle;
        else
            low = middle + 1;
    }
    QTextBlock block = m_document->findBlockByNumber(low);
    const int first = block.position();
    int end = first;
    // blockBoundingRect lays out a block that Qt has not reached yet, as painting it would.
    const QAbstractTextDocumentLayout *layout = m_document->documentLayout();
    for (; block.isValid() && layout->blockBoundingRect(block).top() < bottom; block = block.next())
        end = block.position() + block.length();
    return {first, end};
}

void FindBar::updateHighlights()
{
    // Scrolled inside the listing's edit of the view: cursors made now would be made in the middle
    // of Qt's edit of the document. The edit ends with a new search or a windowMoved().
    if (m_listing->isEditingView())
        return;
    QList<QTextEdit::ExtraSelection> selections;
    if (!isHidden() && !m_matches.isEmpty()) {
        const std::pair<int, int> range = visibleRange();
        const qint64 base = m_listing->windowOffset();
        // Matches that end after the first character on screen and start before the last one.
        auto it =
            std::upper_bound(m_matches.cbegin(), m_matches.cend(), base + range.first - m_length);
        for (; it != m_matches.cend() && *it < base + range.second; ++it) {
            QTextEdit::ExtraSelection selection;
            selection.cursor = matchCursor(m_document, int(*it - base), m_length);
            const bool current = it - m_matches.cbegin() == m_current;
            selection.format.setBackground(current ? QColor(255, 150, 50) : QColor(255, 230, 90));
            selections.append(selection);
        }
    }
    m_view->setExtraSelections(selections);
}

void FindBar::updateStatus()
{
    // While a long listing is still being searched, the count so far with an ellipsis.
    const QString more = m_scanTimer.isActive() ? QString::fromUtf8("…") : QString();
    if (m_matches.isEmpty())
        m_status->setText(m_length == 0    ? QString()
                          : more.isEmpty() ? QString::fromUtf8("无匹配")
                                           : more);
    else
        m_status->setText(QStringLiteral("%1/%2").arg(m_current + 1).arg(m_matches.size()) + more);
    place();
}

// Over the view's top-right (or bottom-right) corner, inside its viewport, clear of the scroll bar.
void FindBar::place()
{
    resize(sizeHint());
    const QRect area = m_view->viewport()->geometry();
    const int x = std::max(area.left(), area.left() + area.width() - width() - kMargin);
    const int y = m_atBottom ? std::max(area.top(), area.top() + area.height() - height() - kMargin)
                             : area.top() + kMargin;
    move(x, y);
}
