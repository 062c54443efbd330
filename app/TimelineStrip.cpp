#include "TimelineStrip.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <vector>

namespace {

constexpr int kWidth = 150;
constexpr int kMargin = 4;

} // namespace

TimelineStrip::TimelineStrip(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("timelineStrip"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setMouseTracking(false);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

QSize TimelineStrip::sizeHint() const
{
    return QSize(kWidth, 200);
}

void TimelineStrip::setBuckets(const TimelineBuckets &buckets)
{
    m_buckets = buckets;
    update();
}

void TimelineStrip::setNotice(const QString &text)
{
    m_notice = text;
    update();
}

QRect TimelineStrip::barArea() const
{
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("00:00")) + kMargin;
    return rect().adjusted(kMargin + labelWidth, kMargin, -kMargin, -kMargin);
}

void TimelineStrip::bucketsOfRow(int y, qint64 *from, qint64 *to) const
{
    const qint64 n = m_buckets.size();
    const qint64 h = std::max(1, barArea().height());
    *from = m_buckets.first() + qint64(y) * n / h;
    *to = std::max(*from + 1, m_buckets.first() + qint64(y + 1) * n / h);
}

QRect TimelineStrip::bucketRect(qint64 bucket) const
{
    const qint64 n = m_buckets.size();
    if (bucket < m_buckets.first() || bucket > m_buckets.last() || n == 0)
        return QRect();
    const QRect area = barArea();
    const qint64 h = std::max(1, area.height());
    const qint64 index = bucket - m_buckets.first();
    if (n > h) {
        // The last pixel row whose buckets begin at or before this one (see bucketsOfRow).
        return QRect(area.left(), area.top() + int(((index + 1) * h - 1) / n), area.width(), 1);
    }
    // The pixel rows whose buckets begin with this one.
    const int top = int((index * h + n - 1) / n);
    const int bottom = int(((index + 1) * h + n - 1) / n);
    return QRect(area.left(), area.top() + top, area.width(), std::max(1, bottom - top));
}

qint64 TimelineStrip::bucketAt(const QPoint &point) const
{
    const QRect area = barArea();
    if (m_buckets.size() == 0 || point.y() < area.top() || point.y() > area.bottom())
        return -1;
    qint64 from = 0;
    qint64 to = 0;
    bucketsOfRow(point.y() - area.top(), &from, &to);
    const qint64 filled = m_buckets.firstFilled(from, to);
    return filled >= 0 ? filled : from;
}

bool TimelineStrip::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const qint64 bucket = bucketAt(help->pos());
        if (bucket >= 0) {
            QToolTip::showText(help->globalPos(),
                               QString::fromUtf8("%1 · %2 条记录")
                                   .arg(m_buckets.nameOf(bucket))
                                   .arg(m_buckets.count(bucket)),
                               this);
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}

void TimelineStrip::mousePressEvent(QMouseEvent *event)
{
    const qint64 bucket = event->button() == Qt::LeftButton ? bucketAt(event->pos()) : -1;
    if (bucket >= 0)
        emit bucketClicked(bucket);
    QWidget::mousePressEvent(event);
}

void TimelineStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!m_notice.isEmpty() || m_buckets.size() == 0) {
        painter.drawText(rect().adjusted(kMargin, kMargin, -kMargin, -kMargin),
                         Qt::AlignCenter | Qt::TextWordWrap, m_notice);
        return;
    }
    const QRect area = barArea();
    const int rows = std::max(1, area.height());
    // Each slot is a bucket, or a pixel row of several when they are more than the rows.
    const bool perRow = m_buckets.size() > rows;
    const int slotCount = perRow ? rows : int(m_buckets.size());
    std::vector<qint64> counts(static_cast<size_t>(slotCount), 0);
    std::vector<QRect> places(static_cast<size_t>(slotCount));
    qint64 largest = 0;
    for (int slot = 0; slot < slotCount; ++slot) {
        qint64 from = m_buckets.first() + slot;
        qint64 to = from + 1;
        if (perRow)
            bucketsOfRow(slot, &from, &to);
        places[size_t(slot)] =
            perRow ? QRect(area.left(), area.top() + slot, area.width(), 1) : bucketRect(from);
        counts[size_t(slot)] = m_buckets.countIn(from, to);
        largest = std::max(largest, counts[size_t(slot)]);
    }
    const QColor bar = palette().color(QPalette::Highlight);
    for (int slot = 0; largest > 0 && slot < slotCount; ++slot) {
        const qint64 count = counts[size_t(slot)];
        const QRect &place = places[size_t(slot)];
        if (count == 0)
            continue;
        const int length = std::max(1, int(count * area.width() / largest));
        // A gap of a pixel between bars tall enough to show one.
        const int height = place.height() > 3 ? place.height() - 1 : place.height();
        painter.fillRect(QRect(place.left(), place.top(), length, height), bar);
    }
    paintLabels(painter, area);
}

// The hour (or minute) beside the bars, at every so many buckets (or pixel rows) as a label's
// height takes, each at the top of its bucket's row.
void TimelineStrip::paintLabels(QPainter &painter, const QRect &area) const
{
    const int lineHeight = fontMetrics().height();
    const qint64 n = m_buckets.size();
    const qint64 rows = std::max(1, area.height());
    painter.setPen(palette().color(QPalette::Text));
    const auto label = [&](int top, qint64 bucket) {
        if (top + lineHeight <= area.bottom() + kMargin)
            painter.drawText(QRect(kMargin, top, area.left() - 2 * kMargin, lineHeight),
                             Qt::AlignLeft | Qt::AlignTop, m_buckets.nameOf(bucket).mid(11));
    };
    if (n <= rows) {
        const qint64 step = std::max<qint64>(1, (qint64(lineHeight) * n + rows - 1) / rows);
        for (qint64 bucket = m_buckets.first(); bucket <= m_buckets.last(); bucket += step)
            label(bucketRect(bucket).top(), bucket);
        return;
    }
    for (int y = 0; y < rows; y += lineHeight) {
        qint64 from = 0;
        qint64 to = 0;
        bucketsOfRow(y, &from, &to);
        label(area.top() + y, from);
    }
}
