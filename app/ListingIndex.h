#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <string_view>
#include <vector>

// Ordinary stamps ("yyyy-MM-dd hh:mm:ss" of 1970 to 2105) as seconds since 1970-01-01 00:00:00
// of the calendar, without any time zone: their order is that of the texts. The day of the last
// stamp coded is kept, since the records of a listing mostly share their day.
class StampCode
{
public:
    // False when the text is not an ordinary stamp.
    bool encode(std::string_view stamp, quint32 *seconds);
    static QString decode(quint32 seconds);

private:
    char m_day[10] = {};
    quint32 m_daySeconds = 0;
};

// What a listing keeps of each of its records: the record's id, by which it is read again from
// the log when it comes on screen, and its date-time text, by which it is placed in time and
// recognised when read again. Nothing of the message is kept.
//
// Stored compactly, since a listing may hold millions of records: records go in blocks of 256,
// each block holding its lowest id and stamp and, per record, the differences to those in as few
// bytes as the block needs (a day's records of one category lie close by id, a few seconds
// apart: two or three bytes a record). A stamp that is not an ordinary "yyyy-MM-dd hh:mm:ss"
// (another program's text) is kept as it is, beside the blocks. Records are added at the end, in
// id order; a block never moves once made, so the memory grows by small steps.
class ListingIndex
{
public:
    ListingIndex();
    ~ListingIndex();
    ListingIndex(const ListingIndex &) = delete;
    ListingIndex &operator=(const ListingIndex &) = delete;

    // Adds a record after all others (its id not below the last one's).
    void append(qint64 id, std::string_view stamp);
    // Adds every record of `other` after all others.
    void appendAll(const ListingIndex &other);

    int count() const { return m_count; }
    qint64 id(int record) const;
    QString stamp(int record) const;
    // Whether the record's stamp is exactly this text.
    bool hasStamp(int record, std::string_view stamp) const;
    // The first record whose stamp is at or after `stamp` (compared as texts, as the log compares
    // them); count() when none is.
    int firstAtOrAfter(const QString &stamp) const;
    // The first record stamped at or after `from` and before `before` (a bucket of the timeline);
    // firstAtOrAfter(from) when none is. The two differ only after a clock was set back, when a
    // record of the span may come after one stamped later.
    int firstWithin(const QString &from, const QString &before) const;
    // The first record whose id is at or above `id`; count() when none is.
    int firstWithIdFrom(qint64 id) const;

private:
    struct Block;
    void appendCoded(qint64 id, quint32 seconds, const QString *odd);
    void seal();
    quint32 code(int record) const;
    bool isOdd(int record) const { return !m_odd.isEmpty() && m_odd.contains(record); }
    // A stamp as the records are compared with it: its text, and its seconds where it has a code.
    struct StampKey
    {
        QString text;
        bool coded = false;
        quint32 seconds = 0;
    };
    StampKey keyOf(const QString &stamp) const;
    bool stampBefore(int record, const StampKey &key) const;

    std::vector<Block> m_blocks;
    // The records of the last block, not yet sealed.
    std::vector<qint64> m_openIds;
    std::vector<quint32> m_openCodes;
    QHash<int, QString> m_odd; // record -> its stamp text, for the stamps that are not coded
    int m_count = 0;
    bool m_ascending = true; // every stamp is at or after the one before it
    mutable StampCode m_coder;
};
