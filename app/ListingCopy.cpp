#include "ListingCopy.h"

#include "ListingRows.h"
#include "ListingWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>

#include <algorithm>
#include <vector>

ListingCopy::ListingCopy(QTextEdit *view, const ListingRows &rows, const ListingWindow &window,
                         QObject *parent)
    : QObject(parent), m_view(view), m_rows(rows), m_window(window)
{
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this,
            &ListingCopy::onClipboardChanged);
}

void ListingCopy::onClipboardChanged()
{
    if (m_mending || !m_rows.hasListing())
        return;
    const QString whole = wholeSelection();
    if (whole.isNull())
        return;
    m_mending = true;
    QApplication::clipboard()->setText(whole);
    m_mending = false;
}

QString ListingCopy::wholeSelection() const
{
    const QTextEdit *view = m_view;
    const ListingRows &rows = m_rows;
    const ListingWindow &window = m_window;
    const QTextCursor cursor = view->textCursor();
    const QMimeData *copied = QApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!cursor.hasSelection() || window.first() >= window.last() || !copied ||
        copied->text() != QTextDocumentFragment(cursor).toPlainText())
        return QString();
    const int start = cursor.selectionStart();
    const int end = cursor.selectionEnd();
    const int first = window.rowAt(start);
    const int last = window.rowAt(end);
    std::vector<QString> whole;
    rows.texts(first, last + 1, ListingText::Form::Whole,
               [&](int, const QString &text) { whole.push_back(text); });
    const QString document = view->document()->toPlainText();
    QString text;
    bool cut = false;
    for (int row = first; row <= last; ++row) {
        const QString &all = whole[size_t(row - first)];
        const int from = window.rowStart(row);
        const QString shown = document.mid(from, window.rowEnd(row) - from);
        // The shown text is the whole one up to the cut, then the cut's mark.
        const int same =
            int(std::mismatch(shown.cbegin(), shown.cend(), all.cbegin(), all.cend()).first -
                shown.cbegin());
        cut = cut || shown != all;
        const auto inWhole = [&](int at) { return at <= same ? at : all.size(); };
        const int begin = row == first ? inWhole(start - from) : 0;
        const int stop = row == last ? inWhole(std::max(0, end - from)) : all.size();
        if (row > first)
            text += QLatin1Char('\n');
        text += all.mid(begin, std::max(0, stop - begin));
    }
    return cut ? text : QString();
}
