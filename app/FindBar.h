#pragma once

#include <QFrame>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTextCursor>
#include <QTimer>
#include <QVector>

#include <utility>

class QLabel;
class QLineEdit;
class QTextDocument;
class QTextEdit;

// Finds text in a QTextEdit: a small bar that floats over the view's top-right corner, with a
// field for the text and a label with the match count. Matching is plain text, case-insensitive.
// Every match on screen is highlighted through the view's extra selections and the current one is
// the view's selection; the view's document itself is never changed. While the bar is open, F3 and
// Shift+F3 step from wherever the focus is in the window. A text without a match puts the
// selection and the scroll position back where they were before the typing began.
class FindBar : public QFrame
{
    Q_OBJECT

public:
    // The bar is a child of the view, hidden until opened.
    explicit FindBar(QTextEdit *view);

    // Shows the bar, focuses its field and searches the current listing again.
    void open();
    // Hides the bar, removes the highlights and gives the focus back to the view.
    void dismiss();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindDocument();
    void onContentsChanged();
    void takeText();
    void search();
    void step(int direction);
    void selectCurrent();
    void rememberPlace();
    void returnToPlace();
    std::pair<int, int> visibleRange() const;
    void updateHighlights();
    void updateStatus();
    void place();

    QTextEdit *m_view;
    QLineEdit *m_edit;
    QLabel *m_status;
    QTimer m_searchTimer;
    QPointer<QTextDocument> m_document;

    // The view's plain text, case folded, taken once per change of the document.
    QString m_text;
    bool m_textValid = false;
    // Offsets of all matches of the current query in m_text, in order, each m_length long.
    QVector<int> m_matches;
    int m_length = 0;
    int m_current = -1;

    // The view's selection and scroll position as the user left them: when the bar opened, after
    // a step, or when the user moved them since. Matches found while typing do not change it.
    QTextCursor m_place;
    QPoint m_placeScroll;
    bool m_moving = false; // the bar itself is moving the view
};
