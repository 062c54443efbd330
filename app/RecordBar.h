#pragma once

#include <QObject>

class QScrollBar;
class QTextEdit;

// The scroll bar of a long listing: one step per record, over the view's own scroll bar (which
// then scrolls only inside the part of the listing that the view's document holds), so that it
// takes that bar's place exactly whatever the view's size.
class RecordBar : public QObject
{
    Q_OBJECT

public:
    explicit RecordBar(QTextEdit *view);
    // Stops watching the view's widgets, before they are destroyed.
    void stopWatching();

    void use(bool on);
    bool isDragged() const;
    // Stands for rows [top, top + onScreen) of `count`, or for the end.
    void show(int top, int onScreen, int count, bool atEnd);
    int maximum() const;

Q_SIGNALS:
    // Moved by the user (dragged, clicked, the wheel over it).
    void moved(int value);
    // The viewport took another size: another number of rows is on screen.
    void viewResized();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();

    QTextEdit *m_view;
    QObject *m_viewBar;  // the view's own vertical scroll bar
    QObject *m_viewport; // the view's viewport
    QScrollBar *m_bar;
    bool m_setting = false;
};
