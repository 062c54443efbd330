#include "RecordBar.h"

#include <QEvent>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextEdit>

#include <algorithm>

RecordBar::RecordBar(QTextEdit *view)
    : QObject(view), m_view(view), m_viewBar(view->verticalScrollBar()),
      m_viewport(view->viewport()), m_bar(new QScrollBar(Qt::Vertical))
{
    // Over the view's own scroll bar, in the same container, so that it takes its place exactly.
    QScrollBar *own = m_view->verticalScrollBar();
    m_bar->setParent(own->parentWidget());
    m_bar->setObjectName(QStringLiteral("recordScrollBar"));
    m_bar->setSingleStep(1);
    m_bar->hide();
    own->installEventFilter(this);
    m_viewport->installEventFilter(this);
    connect(m_bar, &QScrollBar::valueChanged, this, [this](int value) {
        if (!m_setting)
            emit moved(value);
    });
}

void RecordBar::stopWatching()
{
    m_viewBar->removeEventFilter(this);
    m_viewport->removeEventFilter(this);
}

void RecordBar::use(bool on)
{
    // The view's own bar stays in place under this one, so that the viewport keeps its width
    // whether or not the part in the document needs to scroll.
    m_view->setVerticalScrollBarPolicy(on ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded);
    m_bar->setVisible(on);
    if (on)
        place();
}

bool RecordBar::isDragged() const
{
    return m_bar->isSliderDown();
}

int RecordBar::maximum() const
{
    return m_bar->maximum();
}

void RecordBar::show(int top, int onScreen, int count, bool atEnd)
{
    const QScopedValueRollback<bool> setting(m_setting, true);
    m_bar->setRange(0, count - 1);
    m_bar->setPageStep(std::max(1, onScreen));
    m_bar->setValue(atEnd ? count - 1 : top);
}

bool RecordBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_viewport && event->type() == QEvent::Resize) {
        if (m_bar->isVisible())
            emit viewResized();
    } else if (watched == m_viewBar) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            place();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void RecordBar::place()
{
    const QScrollBar *own = m_view->verticalScrollBar();
    m_bar->setGeometry(own->geometry());
    m_bar->raise();
}
