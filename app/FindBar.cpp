#include "FindBar.h"

#include <QAbstractTextDocumentLayout>
#include <QColor>
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

QTextCursor matchCursor(QTextDocument *document, int position, int length)
{
    QTextCursor cursor(document);
    cursor.setPosition(position);
    cursor.setPosition(position + length, QTextCursor::KeepAnchor);
    return cursor;
}

} // namespace

FindBar::FindBar(QTextEdit *view)
    : QFrame(view), m_view(view), m_edit(new QLineEdit(this)), m_status(new QLabel(this))
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
    connect(m_edit, &QLineEdit::textChanged, &m_searchTimer, QOverload<>::of(&QTimer::start));

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
    rememberPlace();
    // Taken now rather than on the first key, which then only searches.
    takeText();
    search();
}

void FindBar::dismiss()
{
    m_searchTimer.stop();
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
    connect(document, &QTextDocument::contentsChange, this, &FindBar::onContentsChanged);
    onContentsChanged();
}

void FindBar::onContentsChanged()
{
    // The offsets belong to the old text: none is used again before the next search.
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
    bindDocument();
    m_matches.clear();
    m_current = -1;
    const QString query = m_edit->text().toCaseFolded();
    m_length = query.size();
    if (!query.isEmpty()) {
        takeText();
        for (int at = m_text.indexOf(query); at >= 0; at = m_text.indexOf(query, at + m_length))
            m_matches.append(at);
    }
    if (!m_matches.isEmpty()) {
        const int from = m_view->textCursor().selectionStart();
        const auto next = std::lower_bound(m_matches.cbegin(), m_matches.cend(), from);
        m_current = next == m_matches.cend() ? 0 : int(next - m_matches.cbegin());
        // Not while someone types in the view itself: the next key would replace the selection.
        if (!m_view->hasFocus())
            selectCurrent();
    } else if (!m_view->hasFocus()) {
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
    m_view->setTextCursor(matchCursor(m_document, m_matches.at(m_current), m_length));
    m_view->ensureCursorVisible();
}

void FindBar::rememberPlace()
{
    if (m_moving || isHidden())
        return;
    m_place = m_view->textCursor();
    m_placeScroll =
        QPoint(m_view->horizontalScrollBar()->value(), m_view->verticalScrollBar()->value());
}

void FindBar::returnToPlace()
{
    if (m_place.isNull() || m_place.document() != m_document)
        return;
    QScopedValueRollback<bool> moving(m_moving, true);
    m_view->setTextCursor(m_place);
    m_view->horizontalScrollBar()->setValue(m_placeScroll.x());
    m_view->verticalScrollBar()->setValue(m_placeScroll.y());
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
    QList<QTextEdit::ExtraSelection> selections;
    if (!isHidden() && !m_matches.isEmpty()) {
        const std::pair<int, int> range = visibleRange();
        // Matches that end after the first character on screen and start before the last one.
        auto it = std::upper_bound(m_matches.cbegin(), m_matches.cend(), range.first - m_length);
        for (; it != m_matches.cend() && *it < range.second; ++it) {
            QTextEdit::ExtraSelection selection;
            selection.cursor = matchCursor(m_document, *it, m_length);
            const bool current = it - m_matches.cbegin() == m_current;
            selection.format.setBackground(current ? QColor(255, 150, 50) : QColor(255, 230, 90));
            selections.append(selection);
        }
    }
    m_view->setExtraSelections(selections);
}

void FindBar::updateStatus()
{
    if (m_matches.isEmpty())
        m_status->setText(m_length == 0 ? QString() : QString::fromUtf8("无匹配"));
    else
        m_status->setText(QStringLiteral("%1/%2").arg(m_current + 1).arg(m_matches.size()));
    place();
}

// Over the view's top-right corner, inside its viewport, clear of the scroll bar.
void FindBar::place()
{
    resize(sizeHint());
    const QRect area = m_view->viewport()->geometry();
    const int x = std::max(area.left(), area.left() + area.width() - width() - kMargin);
    move(x, area.top() + kMargin);
}
