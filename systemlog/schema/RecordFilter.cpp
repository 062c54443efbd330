#include "schema/RecordFilter.h"

namespace SystemLog::RecordFilter {

QByteArray typeCondition(const QVector<int> &types)
{
    if (types.isEmpty())
        return QByteArray();
    QByteArray list;
    for (int type : types) {
        if (!list.isEmpty())
            list += ',';
        list += QByteArray::number(type);
    }
    return " AND type IN (" + list + ") AND typeof(type) = 'integer'";
}

Span Span::openWhereEmpty(const QString &from, const QString &to)
{
    Span span;
    if (!from.isEmpty())
        span.from = from.toUtf8();
    if (!to.isEmpty())
        span.to = to.toUtf8();
    return span;
}

Span Span::between(const QString &from, const QString &to)
{
    return {from.toUtf8(), to.toUtf8()};
}

QByteArray spanCondition(const Span &span, int first, std::vector<QByteArray> *texts,
                         const char *column)
{
    QByteArray sql;
    if (span.from) {
        sql +=
            " AND " + QByteArray(column) + " >= ?" + QByteArray::number(first + int(texts->size()));
        texts->push_back(*span.from);
    }
    if (span.to) {
        sql +=
            " AND " + QByteArray(column) + " <= ?" + QByteArray::number(first + int(texts->size()));
        texts->push_back(*span.to);
    }
    return sql;
}

QByteArray listingSelect(int type)
{
    std::vector<QByteArray> unused;
    return "SELECT datetime, message FROM SystemInfo WHERE 1" +
           spanCondition(Span{QByteArray(), QByteArray()}, 1, &unused) + typeCondition({type}) +
           " ORDER BY id";
}

} // namespace SystemLog::RecordFilter
