#include "ListingIndex.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr int kBlockShift = 8;
constexpr int kBlockSize = 1 << kBlockShift;

// Days from 1970-01-01 of a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return qint64(era) * 146097 + doe - 719468;
}

void civilFromDays(qint64 z, int *y, int *m, int *d)
{
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const int doe = int(z - era * 146097);
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = int(yoe + era * 400) + (*m <= 2);
}

bool isLeap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysIn(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// The bytes needed for differences up to `span`.
int widthFor(quint64 span)
{
    return span == 0 ? 0 : span <= 0xff ? 1 : span <= 0xffff ? 2 : span <= 0xffffffffu ? 4 : 8;
}

void put(quint8 *at, quint64 value, int width)
{
    for (int i = 0; i < width; ++i)
        at[i] = quint8(value >> (8 * i));
}

quint64 get(const quint8 *at, int width)
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i)
        value |= quint64(at[i]) << (8 * i);
    return value;
}

} // namespace

struct ListingIndex::Block
{
    qint64 baseId = 0;
    quint32 baseCode = 0;
    quint8 idWidth = 0;
    quint8 codeWidth = 0;
    std::unique_ptr<quint8[]> bytes; // the id differences, then the stamp differences
};

ListingIndex::ListingIndex()
{
    m_openIds.reserve(kBlockSize);
    m_openCodes.reserve(kBlockSize);
}

ListingIndex::~ListingIndex() = default;

bool StampCode::encode(std::string_view s, quint32 *seconds)
{
    // "yyyy-MM-dd hh:mm:ss" exactly, with a date that exists and a time of the day.
    if (s.size() != 19 || s[10] != ' ' || s[13] != ':' || s[16] != ':')
        return false;
    const auto number = [&](int at, int *value) {
        const char high = s[size_t(at)];
        const char low = s[size_t(at) + 1];
        *value = (high - '0') * 10 + (low - '0');
        return high >= '0' && high <= '9' && low >= '0' && low <= '9';
    };
    int h, mi, se;
    if (!number(11, &h) || !number(14, &mi) || !number(17, &se) || h > 23 || mi > 59 || se > 59)
        return false;
    if (std::memcmp(s.data(), m_day, sizeof m_day) != 0) {
        int c, y, mo, d;
        if (s[4] != '-' || s[7] != '-' || !number(0, &c) || !number(2, &y) || !number(5, &mo) ||
            !number(8, &d))
            return false;
        y += c * 100;
        if (y < 1970 || y > 2105 || mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo))
            return false;
        std::memcpy(m_day, s.data(), sizeof m_day);
        m_daySeconds = quint32(daysFromCivil(y, mo, d) * 86400);
    }
    *seconds = m_daySeconds + quint32(h * 3600 + mi * 60 + se);
    return true;
}

QString StampCode::decode(quint32 seconds)
{
    int y, m, d;
    civilFromDays(qint64(seconds / 86400), &y, &m, &d);
    const quint32 t = seconds % 86400;
    char text[20];
    const int values[] = {y / 1000,
                          y / 100 % 10,
                          y / 10 % 10,
                          y % 10,
                          m / 10,
                          m % 10,
                          d / 10,
                          d % 10,
                          int(t / 36000),
                          int(t / 3600 % 10),
                          int(t % 3600 / 600),
                          int(t % 3600 / 60 % 10),
                          int(t % 60 / 10),
                          int(t % 10)};
    const char layout[] = "dddd-dd-dd dd:dd:dd";
    for (int i = 0, v = 0; i < 19; ++i)
        text[i] = layout[i] == 'd' ? char('0' + values[v++]) : layout[i];
    return QString::fromLatin1(text, 19);
}

void ListingIndex::append(qint64 id, std::string_view stamp)
{
    quint32 seconds = 0;
    if (m_coder.encode(stamp, &seconds)) {
        appendCoded(id, seconds, nullptr);
        return;
    }
    const QString text = QString::fromUtf8(stamp.data(), int(stamp.size()));
    appendCoded(id, 0, &text);
}

void ListingIndex::appendAll(const ListingIndex &other)
{
    for (int record = 0; record < other.count(); ++record) {
        if (other.isOdd(record)) {
            const QString text = other.stamp(record);
            appendCoded(other.id(record), 0, &text);
        } else {
            appendCoded(other.id(record), other.code(record), nullptr);
        }
    }
}

void ListingIndex::appendCoded(qint64 id, quint32 seconds, const QString *odd)
{
    if (m_count > 0 && m_ascending) {
        const int last = m_count - 1;
        if (!odd && !isOdd(last))
            m_ascending = seconds >= code(last);
        else
            m_ascending = (odd ? *odd : StampCode::decode(seconds)) >= stamp(last);
    }
    if (odd) {
        m_odd.insert(m_count, *odd);
        // A code in line with its neighbours keeps the block's differences small.
        seconds = m_openCodes.empty() ? 0 : m_openCodes.back();
    }
    m_openIds.push_back(id);
    m_openCodes.push_back(seconds);
    ++m_count;
    if (int(m_openIds.size()) == kBlockSize)
        seal();
}

void ListingIndex::seal()
{
    Block block;
    const auto [lowCode, highCode] = std::minmax_element(m_openCodes.cbegin(), m_openCodes.cend());
    block.baseId = m_openIds.front();
    block.baseCode = *lowCode;
    block.idWidth = quint8(widthFor(quint64(m_openIds.back()) - quint64(m_openIds.front())));
    block.codeWidth = quint8(widthFor(*highCode - *lowCode));
    const size_t size = size_t(kBlockSize) * (block.idWidth + block.codeWidth);
    block.bytes.reset(size ? new quint8[size] : nullptr);
    for (int i = 0; i < kBlockSize; ++i) {
        put(block.bytes.get() + i * block.idWidth,
            quint64(m_openIds[size_t(i)]) - quint64(block.baseId), block.idWidth);
        put(block.bytes.get() + kBlockSize * block.idWidth + i * block.codeWidth,
            m_openCodes[size_t(i)] - block.baseCode, block.codeWidth);
    }
    m_blocks.push_back(std::move(block));
    m_openIds.clear();
    m_openCodes.clear();
}

qint64 ListingIndex::id(int record) const
{
    const size_t b = size_t(record >> kBlockShift);
    const int i = record & (kBlockSize - 1);
    if (b >= m_blocks.size())
        return m_openIds[size_t(i)];
    const Block &block = m_blocks[b];
    return qint64(quint64(block.baseId) +
                  get(block.bytes.get() + i * block.idWidth, block.idWidth));
}

quint32 ListingIndex::code(int record) const
{
    const size_t b = size_t(record >> kBlockShift);
    const int i = record & (kBlockSize - 1);
    if (b >= m_blocks.size())
        return m_openCodes[size_t(i)];
    const Block &block = m_blocks[b];
    return block.baseCode +
           quint32(get(block.bytes.get() + kBlockSize * block.idWidth + i * block.codeWidth,
                       block.codeWidth));
}

QString ListingIndex::stamp(int record) const
{
    if (isOdd(record))
        return m_odd.value(record);
    return StampCode::decode(code(record));
}

bool ListingIndex::hasStamp(int record, std::string_view stamp) const
{
    quint32 seconds = 0;
    if (isOdd(record) || !m_coder.encode(stamp, &seconds))
        return this->stamp(record) == QString::fromUtf8(stamp.data(), int(stamp.size()));
    return seconds == code(record);
}

ListingIndex::StampKey ListingIndex::keyOf(const QString &stamp) const
{
    StampKey key;
    key.text = stamp;
    const QByteArray bytes = stamp.toUtf8();
    key.coded =
        m_coder.encode(std::string_view(bytes.constData(), size_t(bytes.size())), &key.seconds);
    return key;
}

bool ListingIndex::stampBefore(int record, const StampKey &key) const
{
    if (key.coded && !isOdd(record))
        return code(record) < key.seconds;
    return this->stamp(record) < key.text;
}

int ListingIndex::firstAtOrAfter(const QString &stamp) const
{
    const StampKey key = keyOf(stamp);
    if (m_ascending) {
        int low = 0;
        int high = m_count;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (stampBefore(middle, key))
                low = middle + 1;
            else
                high = middle;
        }
        return low;
    }
    // A clock set back: the stamps are not in order, and each is looked at.
    for (int record = 0; record < m_count; ++record) {
        if (!stampBefore(record, key))
            return record;
    }
    return m_count;
}

int ListingIndex::firstWithin(const QString &from, const QString &before) const
{
    const int first = firstAtOrAfter(from);
    if (m_ascending)
        return first;
    const StampKey fromKey = keyOf(from);
    const StampKey beforeKey = keyOf(before);
    // Every record before `first` is stamped before `from`.
    for (int record = first; record < m_count; ++record) {
        if (stampBefore(record, beforeKey) && !stampBefore(record, fromKey))
            return record;
    }
    return first;
}

int ListingIndex::firstWithIdFrom(qint64 id) const
{
    int low = 0;
    int high = m_count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (this->id(middle) < id)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}
