#pragma once

#include <QFrame>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <utility>

class QLabel;
class QLineEdit;
class RecordListing;
class QTextDocument;
class QTextEdit;

// Finds text in the listing that a QTextEdit shows: a small bar that floats over the view's
// top-right corner, with a field for the text and a label with the match count. Matching is plain
// text, case-insensitive, over the whole listing, also where the view holds only part of it. Every
// match on screen is highlighted through the view's extra selections and the current one is the
// view's selection; the view's document itself is never changed. While the bar is open, F3 and
// Shift+F3 step from wherever the focus is in the window. A text without a match puts the
// selection and the scroll position back where they were before the typing began. Records added
// at the end of the listing are counted without moving the view.
class FindBar : public QFrame
{
    Q_OBJECT

public:
    // The bar is a child of the view, hidden until opened.
    FindBar(QTextEdit *view, RecordListing *listing);

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
    void scanRecords();
    void foundMatches(int firstNew, bool complete);
    void step(int direction);
    void selectCurrent();
    void rememberPlace();
    void returnToPlace();
    std::pair<int, int> visibleRange() const;
    void updateHighlights();
    void updateStatus();
    void keepClearOfBar();
    void place();

    QTextEdit *m_view;
    RecordListing *m_listing;
    QLineEdit *m_edit;
    QLabel *m_status;
    QTimer m_searchTimer;
    // A listing that the view holds only in part is searched record by record, a slice of records
    // per turn of the event loop, so that the window answers keys meanwhile.
    QTimer m_scanTimer;
    int m_scanNext = 0;
    QString m_query;
    qint64 m_from = 0;
    // The bar sits at the view's bottom while the current match is at the very top of the listing.
    bool m_atBottom = false;
    QPointer<QTextDocument> m_document;

    // The view's plain text, case folded, taken once per change of the document while the document
    // holds the whole listing.
    QString m_text;
    bool m_textValid = false;
    // Offsets of all matches of the current query in the listing text, in order, each m_length
    // long.
    QVector<qint64> m_matches;
    int m_length = 0;
    int m_current = -1;
    // The matches are being counted again because records were added at the end: the view stays.
    bool m_quiet = false;

    // The view's selection (listing offsets) and scroll position as the user left them: when the
    // bar opened, after a step, or when the user moved them since. Matches found while typing do
    // not change it.
    qint64 m_placeAnchor = 0;
    qint64 m_placePosition = 0;
    qint64 m_placeWindow = 0; // the listing offset of the view's document then
    int m_placeTop = 0;       // the record at the top of the screen then
    QPoint m_placeScroll;
    bool m_moving = false;       // the bar itself is moving the view
    bool m_placePending = false; // the place is to be taken after the listing's edit
};
