#pragma once

#include <QFrame>
#include <QPoint>
#include <QString>
#include <QTimer>

class ListingSearch;
class QCheckBox;
class QLabel;
class QLineEdit;
class RecordListing;
class QTextEdit;

// Finds text in the listing that a QTextEdit shows: a small bar that floats over the view's
// top-right corner, with a field for the text, a label with the match count and a switch
// ("仅显示匹配", matchesOnly) that has the listing show only the records that match. Matching is
// plain text, case-insensitive, over the whole listing (ListingSearch), also where the view holds
// only part of it. Every match on screen is highlighted through the view's extra selections and
// the current one is the view's selection; the view's document itself is never changed. While the
// bar is open, F3 and Shift+F3 step from wherever the focus is in the window. A text without a
// match puts the selection and the scroll position back where they were before the typing began.
// Records added at the end of the listing are searched without moving the view.
class FindBar : public QFrame
{
    Q_OBJECT

public:
    // The bar is a child of the view, hidden until opened.
    FindBar(QTextEdit *view, RecordListing *listing);

    // Shows the bar, focuses its field and searches the current listing again.
    void open();
    // Hides the bar, removes the highlights, shows every record again and gives the focus back to
    // the view.
    void dismiss();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void search();
    void onListingChanged();
    void foundMatches(int firstNew, bool complete);
    void filterListing(int firstNew, bool complete);
    void onMatchesOnly(bool on);
    void step(int direction);
    void selectCurrent();
    void rememberPlace();
    void returnToPlace();
    void updateHighlights();
    void updateStatus();
    void keepClearOfBar();
    void place();

    QTextEdit *m_view;
    RecordListing *m_listing;
    ListingSearch *m_search;
    QLineEdit *m_edit;
    QLabel *m_status;
    QCheckBox *m_matchesOnly;
    QTimer m_searchTimer;
    qint64 m_from = 0; // the listing position from which the first match is chosen
    int m_current = -1;
    // The bar sits at the view's bottom while the current match is at the very top of the listing.
    bool m_atBottom = false;
    // The matches are being counted again because records were added at the end: the view stays.
    bool m_quiet = false;
    // The listing shows the matches found so far of the search under way.
    bool m_filtered = false;

    // The view's selection (listing positions) and scroll position as the user left them: when
    // the bar opened, after a step, or when the user moved them since. Matches found while typing
    // do not change it.
    qint64 m_placeAnchor = 0;
    qint64 m_placePosition = 0;
    qint64 m_placeWindow = 0; // the listing position of the document's start then
    int m_placeTop = 0;       // the record at the top of the screen then
    QPoint m_placeScroll;
    bool m_moving = false;       // the bar itself is moving the view
    bool m_placePending = false; // the place is to be taken after the listing's edit
};
