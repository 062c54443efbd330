#pragma once

#include <QObject>
#include <QString>

class ListingRows;
class ListingWindow;
class QTextEdit;

// Copying the view's selection where it spans records that the view shows cut: once the view has
// put its selection on the clipboard, the clipboard gets the same records from the same places,
// their messages whole (a selection that ends in a cut or its mark takes the record to its end).
// Whatever copies (the keys, the view's menu), the view's own copy is the one to mend.
class ListingCopy : public QObject
{
public:
    ListingCopy(QTextEdit *view, const ListingRows &rows, const ListingWindow &window,
                QObject *parent);

private:
    void onClipboardChanged();
    // The whole text for the selection; null when the clipboard does not hold the selection as
    // the view copied it, or no record of it is cut.
    QString wholeSelection() const;

    QTextEdit *m_view;
    const ListingRows &m_rows;
    const ListingWindow &m_window;
    bool m_mending = false;
};
