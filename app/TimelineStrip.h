#pragma once

#include "TimelineBuckets.h"

#include <QString>
#include <QWidget>

// A narrow strip beside the listing that draws its timeline: one horizontal bar per bucket, from
// the span's start at the top to its end at the bottom (as the listing runs), each as long as its
// count is against the fullest bucket's. A strip shorter than the buckets are many gives each
// pixel row the records of the buckets it covers. Hovering names a bucket and its count; clicking
// asks for its first record.
class TimelineStrip : public QWidget
{
    Q_OBJECT

public:
    explicit TimelineStrip(QWidget *parent = nullptr);

    void setBuckets(const TimelineBuckets &buckets);
    const TimelineBuckets &buckets() const { return m_buckets; }
    // Shown instead of the bars while there are none to show ("正在统计…"); empty: the bars.
    void setNotice(const QString &text);
    QString notice() const { return m_notice; }

    // Where the bucket's row lies in the strip; empty when it is not on the axis.
    QRect bucketRect(qint64 bucket) const;
    // The bucket at this point of the strip (of a pixel row that covers several, the first that
    // holds records); -1 for none.
    qint64 bucketAt(const QPoint &point) const;

    QSize sizeHint() const override;

Q_SIGNALS:
    void bucketClicked(qint64 bucket);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    QRect barArea() const;
    // Buckets [*from, *to) drawn in pixel row `y` of the bar area (rows of one bucket or more).
    void bucketsOfRow(int y, qint64 *from, qint64 *to) const;
    void paintLabels(QPainter &painter, const QRect &area) const;

    TimelineBuckets m_buckets;
    QString m_notice;
};
