// What a listing keeps of its records and how it shows them, apart from the window: the compact
// index of ids and stamps, and the record texts with their cuts and gaps.

#include "ListingIndex.h"
#include "ListingText.h"

#include <QTest>

#include <limits>
#include <string>

namespace {

struct Key
{
    qint64 id;
    QString stamp;
};

QList<Key> stampsEverySecond(const QString &day, int count, qint64 firstId, qint64 step)
{
    QList<Key> keys;
    const QDateTime start = QDateTime::fromString(day, QStringLiteral("yyyy-MM-dd"));
    for (int i = 0; i < count; ++i)
        keys << Key{firstId + i * step,
                    start.addSecs(i).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))};
    return keys;
}

} // namespace

Q_DECLARE_METATYPE(QList<Key>)

class ListingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void indexKeepsRecords_data();
    void indexKeepsRecords();
    void shownText_data();
    void shownText();
};

void ListingTest::indexKeepsRecords_data()
{
    QTest::addColumn<QList<Key>>("keys");
    const qint64 low = std::numeric_limits<qint64>::min();
    const qint64 high = std::numeric_limits<qint64>::max();
    QTest::newRow("a day, one a second, blocks and more")
        << stampsEverySecond("2024-03-15", 1000, 1, 5);
    QTest::newRow("ids far apart") << stampsEverySecond("2024-03-15", 600, -3000000000000, 9999991);
    QTest::newRow("the ends of time and of ids") << QList<Key>{
        {low, "1970-01-01 00:00:00"}, {-1, "1999-12-31 23:59:59"}, {0, "2000-02-29 12:00:00"},
        {7, "2100-02-28 23:59:59"},   {8, "2105-12-31 23:59:59"},  {high, "2105-12-31 23:59:59"}};
    // Another program's texts, kept as they are, in their places among the ordinary ones.
    QTest::newRow("other texts") << QList<Key>{{1, "2024-03-15 08:00:00"},
                                               {2, "2024-03-15 08:00:00.250"},
                                               {3, "2023-02-29 10:00:00"},
                                               {4, "2024-03-15 24:00:00"},
                                               {5, "1969-12-31 23:59:59"},
                                               {6, "2106-01-01 00:00:00"},
                                               {7, "2024-03-15 09:00:00"},
                                               {8, ""},
                                               {9, QString::fromUtf8("２０２４-03-15 10:00:00")},
                                               {10, "2024-3-15 10:00:00"}};
    QTest::newRow("a clock set back") << QList<Key>{{1, "2024-03-15 10:00:00"},
                                                    {2, "2024-03-15 10:00:05"},
                                                    {3, "2024-03-15 09:59:00"},
                                                    {4, "2024-03-15 10:00:01"}};
    // The hour of 09 comes after 10 and 11: its first record is the third, not the first.
    QTest::newRow("a clock set back an hour") << QList<Key>{{1, "2024-03-15 10:00:00"},
                                                            {2, "2024-03-15 11:00:00"},
                                                            {3, "2024-03-15 09:30:00"},
                                                            {4, "2024-03-15 10:30:00"}};
}

// Each record's id and stamp come back as given, and the look-ups agree with a look at each.
void ListingTest::indexKeepsRecords()
{
    QFETCH(QList<Key>, keys);
    ListingIndex index;
    for (const Key &key : keys) {
        const QByteArray stamp = key.stamp.toUtf8();
        index.append(key.id, std::string_view(stamp.constData(), size_t(stamp.size())));
    }
    QCOMPARE(index.count(), keys.size());
    for (int i = 0; i < keys.size(); ++i) {
        QCOMPARE(index.id(i), keys[i].id);
        QCOMPARE(index.stamp(i), keys[i].stamp);
        const QByteArray stamp = keys[i].stamp.toUtf8();
        QVERIFY(index.hasStamp(i, std::string_view(stamp.constData(), size_t(stamp.size()))));
        QVERIFY(!index.hasStamp(i, "2024-03-15 10:00:03"));
    }
    QStringList probes{QString(), "2024-03-15 09:59:30", "2024-03-15 10:00:01", "9999"};
    for (const Key &key : keys)
        probes << key.stamp;
    for (const QString &probe : probes) {
        int first = 0;
        while (first < keys.size() && keys[first].stamp < probe)
            ++first;
        QCOMPARE(index.firstAtOrAfter(probe), first);
        // And within the hour from the probe on, as the timeline asks: the first there if any.
        const QDateTime hour = QDateTime::fromString(probe.left(13), "yyyy-MM-dd hh");
        const QString before = hour.isValid() ? hour.addSecs(3600).toString("yyyy-MM-dd hh:mm:ss")
                                              : probe + QStringLiteral("\x7f");
        int within = first;
        while (within < keys.size() &&
               !(keys[within].stamp >= probe && keys[within].stamp < before))
            ++within;
        QCOMPARE(index.firstWithin(probe, before), within < keys.size() ? within : first);
    }
    for (int i = 0; i < keys.size(); ++i) {
        QCOMPARE(index.firstWithIdFrom(keys[i].id), i);
        if (keys[i].id < std::numeric_limits<qint64>::max())
            QCOMPARE(index.firstWithIdFrom(keys[i].id + 1), i + 1);
    }
}

void ListingTest::shownText_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("shownBytes"); // of the message, in the view; -1: all of it
    const QByteArray line("a line of a register dump, 0123456789abcdef\n");
    QTest::newRow("short") << QByteArray("alarm\r\nsecond\rthird") << -1;
    QTest::newRow("2 MiB of lines") << line.repeated((2 << 20) / line.size()) << -1;
    QTest::newRow("more than 2 MiB of lines")
        << line.repeated((2 << 20) / line.size() + 1) << ListingText::kShownBytes;
    QTest::newRow("a word of 8 KiB") << QByteArray(ListingText::kLongRun, 'x') << -1;
    QTest::newRow("a longer word after a line")
        << "first line\n" + QByteArray(3 * ListingText::kLongRun, 'x')
        << 11 + ListingText::kLongRun;
    // Not cut inside a character: its bytes all shown or none.
    QTest::newRow("Chinese at the cut")
        << QByteArray(ListingText::kShownBytes - 1, ' ') + QString::fromUtf8("报警").toUtf8() +
               QByteArray(2 << 20, ' ')
        << ListingText::kShownBytes - 1;
}

void ListingTest::shownText()
{
    QFETCH(QByteArray, message);
    QFETCH(int, shownBytes);
    const std::string_view bytes(message.constData(), size_t(message.size()));
    const QString stamp = QStringLiteral("2024-03-15 10:00:00");
    QString whole = stamp + ":\n" + QString::fromUtf8(message);
    whole.replace("\r\n", "\n").replace('\r', '\n');
    QCOMPARE(ListingText::record("2024-03-15 10:00:00", bytes, ListingText::Form::Whole), whole);
    const QString shown =
        ListingText::record("2024-03-15 10:00:00", bytes, ListingText::Form::Shown);
    if (shownBytes < 0) {
        QCOMPARE(shown, whole);
        return;
    }
    const QString beginning = stamp + ":\n" + QString::fromUtf8(message.left(shownBytes));
    QVERIFY(shown.startsWith(beginning));
    QVERIFY(shown.mid(beginning.size()).startsWith(QString::fromUtf8("\n〔此记录过长")));
}

QTEST_GUILESS_MAIN(ListingTest)
#include "tst_listing.moc"
