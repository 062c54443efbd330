#include "Options.h"

#include <QDate>
#include <QRegularExpression>
#include <QStringList>
#include <QTime>

namespace TallyLog {

QCommandLineOption dbOption()
{
    return QCommandLineOption(QStringLiteral("db"),
                              QStringLiteral("The log file (default ./dbLog.db)."),
                              QStringLiteral("path"), QStringLiteral("dbLog.db"));
}

bool isDay(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    return shape.match(text).hasMatch() &&
           QDate::fromString(text, QLatin1String(SystemLog::kDayFormat)).isValid();
}

bool isMoment(const QString &text)
{
    static const QRegularExpression shape(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2}) (\\d{2}:\\d{2}:\\d{2})$"));
    const QRegularExpressionMatch m = shape.match(text);
    return m.hasMatch() && isDay(m.captured(1)) &&
           QTime::fromString(m.captured(2), QStringLiteral("hh:mm:ss")).isValid();
}

bool parseCategories(const QString &text, QVector<int> *types, QString *problem)
{
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString &part : parts) {
        const int type = SystemLog::categoryFromText(part);
        if (type < 0) {
            *problem = QStringLiteral("unknown category '%1' (0-4 or its name)").arg(part);
            return false;
        }
        if (!types->contains(type))
            types->append(type);
    }
    return true;
}

QCommandLineOption RangeOptions::dayOption()
{
    return QCommandLineOption(QStringLiteral("day"),
                              QStringLiteral("The records of one day (default: today)."),
                              QStringLiteral("yyyy-MM-dd"));
}

void RangeOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOption(m_day);
    parser.addOption(m_from);
    parser.addOption(m_to);
}

bool RangeOptions::read(const QCommandLineParser &parser, QString *problem)
{
    const bool hasDay = parser.isSet(m_day);
    if (hasDay && (parser.isSet(m_from) || parser.isSet(m_to))) {
        *problem = QStringLiteral("--day and --from/--to exclude each other");
        return false;
    }
    if (!hasDay && !parser.isSet(m_from) && !parser.isSet(m_to))
        day = QDate::currentDate().toString(QLatin1String(SystemLog::kDayFormat));
    if (hasDay) {
        day = parser.value(m_day);
        if (!isDay(day)) {
            *problem = QStringLiteral("bad day '%1' (yyyy-MM-dd)").arg(day);
            return false;
        }
    }
    if (!day.isEmpty()) {
        from = SystemLog::dayStart(day);
        to = SystemLog::dayEnd(day);
        return true;
    }
    from = parser.value(m_from);
    to = parser.value(m_to);
    for (const QString &moment : {from, to}) {
        if (!moment.isEmpty() && !isMoment(moment)) {
            *problem = QStringLiteral("bad moment '%1' (yyyy-MM-dd hh:mm:ss)").arg(moment);
            return false;
        }
    }
    if (!from.isEmpty() && !to.isEmpty() && from > to) {
        *problem = QStringLiteral("--from is after --to");
        return false;
    }
    return true;
}

void SelectionOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOption(m_type);
    parser.addOption(m_grep);
}

bool SelectionOptions::read(const QCommandLineParser &parser, QString *problem)
{
    if (parser.isSet(m_type) && !parseCategories(parser.value(m_type), &types, problem))
        return false;
    grep = parser.value(m_grep);
    return true;
}

void SelectionOptions::applyTo(SystemLog::LogSelection *selection) const
{
    selection->types = types;
    selection->grep = grep;
}

bool FormatOption::read(const QCommandLineParser &parser, QString *problem)
{
    if (parser.isSet(m_format) && !parseFormat(parser.value(m_format), &format)) {
        *problem =
            QStringLiteral("unknown format '%1' (text, csv or json)").arg(parser.value(m_format));
        return false;
    }
    return true;
}

} // namespace TallyLog
