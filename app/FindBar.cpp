#include "FindBar.h"

#include "FindHighlights.h"
#include "ListingSearch.h"
#include "RecordListing.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QColor>
#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <utility>

namespace {

const int kMargin = 4;

using FindHighlights::matchCursor;

} // namespace

FindBar::FindBar(QTextEdit *view, RecordListing *listing)
    : QFrame(view), m_view(view), m_listing(listing), m_search(new ListingSearch(listing)),
      m_edit(new QLineEdit(this)), m_status(new QLabel(this)), m_matchesOnly(new QCheckBox(this))
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
    m_matchesOnly->setObjectName(QStringLiteral("matchesOnly"));
    m_matchesOnly->setText(QString::fromUtf8("仅显示匹配"));
    // Not in the way of the keys: Enter, F3 and Esc keep working from the field.
    m_matchesOnly->setFocusPolicy(Qt::NoFocus);

    // The switch under the field, so that the bar stays as narrow as the field and the count.
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    layout->setSpacing(kMargin);
    layout->addWidget(m_edit, 0, 0);
    layout->addWidget(m_status, 0, 1);
    layout->addWidget(m_matchesOnly, 1, 0, 1, 2);

    // A zero timer: keys that arrive together are searched once, and a key is never waited for.
    m_searchTimer.setSingleShot(true);
    m_searchTimer.setInterval(0);
    connect(&m_searchTimer, &QTimer::timeout, this, &FindBar::search);
    connect(m_edit, &QLineEdit::textChanged, this, [this] {
        m_quiet = false;
        m_searchTimer.start();
    });
    connect(m_search, &ListingSearch::found, this, &FindBar::foundMatches);
    connect(m_matchesOnly, &QCheckBox::toggled, this, &FindBar::onMatchesOnly);

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
    connect(m_listing, &RecordListing::listingChanged, this, &FindBar::onListingChanged);
    connect(m_listing, &RecordListing::recordsAdded, this, [this](int first) {
        m_quiet = true;
        m_search->searchAdded(first);
    });
}

void FindBar::open()
{
    place();
    show();
    raise();
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
    m_quiet = false;
    rememberPlace();
    search();
}

void FindBar::dismiss()
{
    m_searchTimer.stop();
    m_atBottom = false;
    m_search->start(QString());
    m_current = -1;
    m_matchesOnly->setChecked(false);
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

void FindBar::onListingChanged()
{
    // The matches belong to the listing that went: none is used again before the next search.
    m_search->reset();
    m_current = -1;
    m_filtered = false;
    if (!isHidden()) {
        m_quiet = false;
        m_searchTimer.start();
    }
}

// Finds every match in the whole listing and selects the first one at or after the start of the
// view's selection, so that a longer query keeps the match that a shorter one found.
void FindBar::search()
{
    m_searchTimer.stop();
    m_current = -1;
    m_filtered = false;
    const qint64 from = m_listing->listingPosition(m_view->textCursor().selectionStart());
    m_from = std::max<qint64>(0, from);
    m_search->start(m_edit->text());
}

// Makes the first match at or after the selection's start current as soon as it is found, or the
// first match of all once the search is complete and none follows.
void FindBar::foundMatches(int firstNew, bool complete)
{
    filterListing(firstNew, complete);
    const QVector<qint64> &matches = m_search->matches();
    if (m_current < 0 && !matches.isEmpty()) {
        const auto next = std::lower_bound(matches.cbegin() + firstNew, matches.cend(), m_from);
        if (next != matches.cend())
            m_current = int(next - matches.cbegin());
        else if (complete)
            m_current = 0;
        if (m_current >= 0 && !m_view->hasFocus() && !m_quiet)
            selectCurrent();
    } else if (complete && matches.isEmpty() && !m_view->hasFocus() && !m_quiet) {
        returnToPlace();
    }
    updateStatus();
    updateHighlights();
}

// With matches only, the listing shows the records of the matches as they are found.
void FindBar::filterListing(int firstNew, bool complete)
{
    if (!m_matchesOnly->isChecked())
        return;
    QScopedValueRollback<bool> moving(m_moving, true);
    if (m_search->isEmptyText()) {
        m_listing->showAll();
    } else if (!m_filtered) {
        // The first matches of a new search replace those of the text before.
        if (!complete && m_search->matches().isEmpty())
            return;
        m_listing->showOnly(m_search->recordsOf(0));
        m_filtered = true;
    } else {
        std::vector<int> records = m_search->recordsOf(firstNew);
        // A record whose first matches came with the slice before is shown already.
        if (firstNew > 0 && !records.empty() &&
            ListingWindow::recordOf(m_search->matches().at(firstNew - 1)) == records.front())
            records.erase(records.begin());
        m_listing->alsoShow(records);
    }
}

void FindBar::onMatchesOnly(bool on)
{
    m_filtered = false;
    if (on) {
        filterListing(0, m_search->isComplete());
    } else {
        QScopedValueRollback<bool> moving(m_moving, true);
        m_listing->showAll();
    }
    updateHighlights();
}

void FindBar::step(int direction)
{
    if (m_searchTimer.isActive())
        search();
    const int count = m_search->matches().size();
    if (count == 0)
        return;
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
    const int position = m_listing->reveal(m_search->matches().at(m_current));
    if (position < 0)
        return;
    m_view->setTextCursor(matchCursor(m_view->document(), position, m_search->length()));
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
    m_placeWindow = m_listing->listingPosition(0);
    m_placeAnchor = m_listing->listingPosition(cursor.anchor());
    m_placePosition = m_listing->listingPosition(cursor.position());
    m_placeTop = m_listing->topRecord();
    m_placeScroll =
        QPoint(m_view->horizontalScrollBar()->value(), m_view->verticalScrollBar()->value());
}

void FindBar::returnToPlace()
{
    if (m_placePosition < 0 || m_listing->isNotice())
        return;
    QScopedValueRollback<bool> moving(m_moving, true);
    const int position = m_listing->reveal(m_placePosition);
    const int anchor = m_listing->documentPosition(m_placeAnchor);
    if (position < 0)
        return;
    QTextCursor cursor(m_view->document());
    cursor.setPosition(anchor < 0 ? position : anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    m_view->setTextCursor(cursor);
    if (m_listing->listingPosition(0) == m_placeWindow) {
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

void FindBar::updateHighlights()
{
    // Scrolled inside the listing's edit of the view: cursors made now would be made in the middle
    // of Qt's edit of the document. The edit ends with a new search or a windowMoved().
    if (m_listing->isEditingView())
        return;
    m_view->setExtraSelections(
        isHidden() ? QList<QTextEdit::ExtraSelection>()
                   : FindHighlights::onScreen(m_view, *m_listing, *m_search, m_current));
}

void FindBar::updateStatus()
{
    // While a long listing is still being searched, the count so far with an ellipsis.
    const QString more = m_search->isComplete() ? QString() : QString::fromUtf8("…");
    const int count = m_search->matches().size();
    if (count == 0)
        m_status->setText(m_search->isEmptyText() ? QString()
                          : more.isEmpty()        ? QString::fromUtf8("无匹配")
                                                  : more);
    else
        m_status->setText(QStringLiteral("%1/%2").arg(m_current + 1).arg(count) + more);
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
