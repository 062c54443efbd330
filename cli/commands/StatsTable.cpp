#include "commands/StatsTable.h"

#include "text/DateText.h"
#include "text/Fields.h"
#include "text/Output.h"
#include "text/RecordFormat.h"
#include "text/TerminalText.h"

#include <QDate>
#include <QMap>

#include <string_view>

namespace TallyLog {

namespace {

using SystemLog::kCategoryCount;
using Kind = SystemLog::StoredType::Kind;

constexpr int kBarCells = 40;

bool isCategory(const SystemLog::LogCount &c)
{
    return c.type.isCategory();
}

SystemLog::LogCount categoryCount(int type)
{
    SystemLog::LogCount c;
    c.type.kind = Kind::Integer;
    c.type.integer = type;
    return c;
}

// The category's name, or what the type column holds when it names none.
QString label(const SystemLog::LogCount &c)
{
    if (isCategory(c))
        return SystemLog::categoryName(static_cast<int>(c.type.integer));
    return QStringLiteral("type ") + storedTypeText(c.type.view());
}

// A bar of `eighths` eighths of a cell, in block characters.
QString bar(qint64 eighths)
{
    static const char *const partial[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    QString out(static_cast<int>(eighths / 8), QChar(0x2588));
    out += QString::fromUtf8(partial[eighths % 8]);
    return out;
}

// Text for the table: a stamp or a type that another program stored may hold control
// characters, which would move the cursor or recolour the terminal; they are shown escaped. A
// line feed or a tab too, which in a cell would start a row of the stored text's making.
QString tableText(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const std::string_view bytes(utf8.constData(), static_cast<size_t>(utf8.size()));
    if (!needsEscaping(bytes) && !text.contains(QLatin1Char('\n')) &&
        !text.contains(QLatin1Char('\t')))
        return text;
    std::string escaped;
    appendEscaped(escaped, bytes);
    return QString::fromStdString(escaped)
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
}

// Buckets, category names and the stamps and types that other programs stored, as UTF-8.
std::string_view utf8(const QString &text, QByteArray &bytes)
{
    bytes = text.toUtf8();
    return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace

QString StatsTable::bucketOf(Unit unit, const QString &stamp)
{
    return stamp.left(unit == Unit::Hour ? 13 : 10);
}

QString StatsTable::nextBucket(Unit unit, const QString &bucket)
{
    const QDate day = dayFromText(bucket.left(10));
    // After 9999-12-31 there is none: a five-digit year sorts before the four-digit ones.
    const QDate nextDay = day.addDays(1);
    if (!day.isValid() || nextDay.year() > 9999)
        return QString();
    if (unit == Unit::Day)
        return bucket.size() == 10 ? dayText(nextDay) : QString();
    bool ok = false;
    const int hour = bucket.mid(11).toInt(&ok);
    if (bucket.size() != 13 || bucket.at(10) != QLatin1Char(' ') || !ok || hour < 0 || hour > 23)
        return QString();
    if (hour == 23)
        return dayText(nextDay) + QStringLiteral(" 00");
    return bucket.left(11) + QStringLiteral("%1").arg(hour + 1, 2, 10, QLatin1Char('0'));
}

StatsTable::StatsTable(Unit unit, const QVector<SystemLog::LogCount> &counts, const QString &first,
                       const QString &last)
    : m_unit(unit)
{
    QMap<QString, QVector<SystemLog::LogCount>> buckets;
    if (!first.isEmpty() && !last.isEmpty() && first <= last) {
        QString b = first;
        for (int filled = 0; !b.isEmpty() && b <= last && filled < kMaxFilledBuckets; ++filled) {
            buckets[b];
            b = nextBucket(unit, b);
        }
    }
    for (const SystemLog::LogCount &c : counts)
        buckets[c.bucket].append(c);
    for (auto it = buckets.cbegin(); it != buckets.cend(); ++it)
        m_buckets.append({it.key(), it.value()});
}

QString StatsTable::shownName(const QString &bucket) const
{
    return m_unit == Unit::Hour ? bucket + QStringLiteral(":00") : bucket;
}

std::string StatsTable::text(const QString &rangeText) const
{
    qint64 largest = 0;
    qint64 total = 0;
    for (const Bucket &b : m_buckets) {
        for (const SystemLog::LogCount &c : b.counts) {
            largest = qMax(largest, c.count);
            total += c.count;
        }
    }
    const bool hourly = m_unit == Unit::Hour;
    const int bucketWidth = hourly ? 18 : 12;
    const int countWidth = qMax(5, static_cast<int>(QString::number(largest).size()));
    QString out = padded(hourly ? QStringLiteral("hour") : QStringLiteral("day"), bucketWidth) +
                  padded(QStringLiteral("category"), 14) +
                  QStringLiteral("count").rightJustified(countWidth) + QLatin1Char('\n');
    for (const Bucket &b : m_buckets) {
        if (b.counts.isEmpty())
            out += padded(tableText(shownName(b.name)), bucketWidth) +
                   padded(QStringLiteral("-"), 14) +
                   QStringLiteral("0").rightJustified(countWidth) + QLatin1Char('\n');
        for (const SystemLog::LogCount &c : b.counts) {
            // At least an eighth for any count, so that a single record still shows.
            const qint64 eighths =
                qMax<qint64>(1, (c.count * kBarCells * 8 + largest / 2) / largest);
            out += padded(tableText(shownName(b.name)), bucketWidth) +
                   padded(tableText(label(c)), 14) +
                   QString::number(c.count).rightJustified(countWidth) + QLatin1Char(' ') +
                   bar(eighths) + QLatin1Char('\n');
        }
    }
    out += QStringLiteral("%1 records %2\n").arg(total).arg(rangeText);
    return out.toStdString();
}

template <typename Write> void StatsTable::forEachDenseRow(Write write) const
{
    for (const Bucket &b : m_buckets) {
        const QString name = shownName(b.name);
        for (int type = 0; type < kCategoryCount; ++type) {
            SystemLog::LogCount row = categoryCount(type);
            for (const SystemLog::LogCount &c : b.counts) {
                if (isCategory(c) && c.type.integer == type)
                    row.count = c.count;
            }
            write(name, row);
        }
        for (const SystemLog::LogCount &c : b.counts) {
            if (!isCategory(c))
                write(name, c);
        }
    }
}

std::string StatsTable::csv(bool bom) const
{
    std::string out = bom ? "\xef\xbb\xbf" : "";
    out += "bucket,type,category,count\r\n";
    QByteArray bytes;
    forEachDenseRow([&](const QString &bucket, const SystemLog::LogCount &c) {
        appendCsvField(out, utf8(bucket, bytes));
        out += ',';
        if (c.type.kind != Kind::Null)
            appendCsvField(out, utf8(storedTypeText(c.type.view()), bytes));
        out += ',';
        if (isCategory(c))
            out.append(utf8(label(c), bytes));
        out += ',';
        appendNumber(out, c.count);
        out += "\r\n";
    });
    return out;
}

// The stored type as a JSON value: a number as a number, a text or a blob as a string.
void StatsTable::appendJsonType(std::string &out, const SystemLog::StoredTypeValue &type)
{
    QByteArray bytes;
    switch (type.kind) {
    case Kind::Integer:
        appendNumber(out, type.integer);
        break;
    case Kind::Real:
        appendJsonReal(out, type.view().text);
        break;
    case Kind::Text:
    case Kind::Blob:
        appendJsonString(out, utf8(storedTypeText(type.view()), bytes));
        break;
    case Kind::Null:
        out += "null";
        break;
    }
}

std::string StatsTable::json() const
{
    std::string out;
    QByteArray bytes;
    forEachDenseRow([&](const QString &bucket, const SystemLog::LogCount &c) {
        out += "{\"bucket\":";
        appendJsonString(out, utf8(bucket, bytes));
        out += ",\"type\":";
        appendJsonType(out, c.type);
        out += ",\"category\":";
        if (isCategory(c))
            appendJsonString(out, utf8(label(c), bytes));
        else
            out += "null";
        out += ",\"count\":";
        appendNumber(out, c.count);
        out += "}\n";
    });
    return out;
}

} // namespace TallyLog
