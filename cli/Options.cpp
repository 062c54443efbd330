#include "Options.h"

#include "text/DateText.h"
#include "text/MomentText.h"
#include "text/Output.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace TallyLog {

QCommandLineOption dbOption()
{
    return QCommandLineOption(QStringLiteral("db"),
                              QStringLiteral("The log file (default ./dbLog.db)."),
                              QStringLiteral("path"), QStringLiteral("dbLog.db"));
}

namespace {

// The category of an English name (param, user, status, alarm, other), any case; -1 for none.
int categoryFromEnglish(const QString &text)
{
    static const char *const names[] = {"param", "user", "status", "alarm", "other"};
    for (int type = 0; type < SystemLog::kCategoryCount; ++type) {
        if (text.trimmed().compare(QLatin1String(names[type]), Qt::CaseInsensitive) == 0)
            return type;
    }
    return -1;
}

} // namespace

bool parseCategories(const QString &text, QVector<int> *types, QString *problem)
{
    const QStringList parts = text.split(QLatin1Char(','));
    for (const QString &part : parts) {
        int type = SystemLog::categoryFromText(part);
        if (type < 0)
            type = categoryFromEnglish(part);
        if (type < 0) {
            *problem = QStringLiteral("unknown category '%1' (0-4, param, user, status, alarm, "
                                      "other or the name, 报警记录)")
                           .arg(part);
            return false;
        }
        if (!types->contains(type))
            types->append(type);
    }
    return true;
}

bool readClock(QDateTime *now, QString *problem)
{
    return MomentText::now(now, problem);
}

QCommandLineOption noPagerOption()
{
    return QCommandLineOption(QStringLiteral("no-pager"),
                              QStringLiteral("On a terminal, write to it directly, not through "
                                             "the pager ($TALLYLOG_PAGER, $PAGER or less)."));
}

bool readMoment(const QDateTime &now, const QString &text, QString *moment, QString *problem)
{
    *moment = MomentText(now).parse(text);
    if (!moment->isEmpty())
        return true;
    *problem = QStringLiteral("bad time '%1' (%2)").arg(text, MomentText::accepted());
    return false;
}

bool readDay(const QDateTime &now, const QString &text, QString *day, QString *problem)
{
    *day = MomentText(now).day(text);
    if (!day->isEmpty())
        return true;
    *problem = QStringLiteral("bad day '%1' (%2)").arg(text, MomentText::accepted());
    return false;
}

bool readCount(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *count,
               QString *problem)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *count = parser.value(option).toLongLong(&ok);
    if (!ok || *count < 0) {
        *problem = QStringLiteral("--%1 needs a number >= 0").arg(option.names().last());
        return false;
    }
    return true;
}

bool readId(const QCommandLineParser &parser, const QCommandLineOption &option, qint64 *id,
            QString *problem)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *id = parser.value(option).toLongLong(&ok);
    // The lowest value stands for "every id" in a selection, so no record lies after it.
    if (!ok || *id == std::numeric_limits<qint64>::min()) {
        *problem = QStringLiteral("--%1 needs a record's id").arg(option.names().last());
        return false;
    }
    return true;
}

bool readNonEmpty(const QCommandLineParser &parser, const QCommandLineOption &option,
                  const char *what, QString *value, QString *problem)
{
    *value = parser.value(option);
    if (!parser.isSet(option) || !value->isEmpty())
        return true;
    *problem = QStringLiteral("--%1 needs %2").arg(option.names().last(), QLatin1String(what));
    return false;
}

QCommandLineOption linesOption(const QString &description)
{
    return QCommandLineOption({QStringLiteral("n"), QStringLiteral("lines")}, description,
                              QStringLiteral("N"));
}

QCommandLineOption reverseOption()
{
    return QCommandLineOption({QStringLiteral("r"), QStringLiteral("reverse")},
                              QStringLiteral("Newest first."));
}

QString repeatedOption(const QCommandLineParser &parser)
{
    // Options with several names are counted under their long one.
    static const char *const aliases[][2] = {
        {"n", "lines"},       {"r", "reverse"}, {"h", "help"},  {"?", "help"},  {"o", "format"},
        {"output", "format"}, {"S", "since"},   {"U", "until"}, {"g", "regex"}, {"f", "follow"}};
    QStringList seen;
    for (QString name : parser.optionNames()) {
        for (const auto &alias : aliases) {
            if (name == QLatin1String(alias[0]))
                name = QLatin1String(alias[1]);
        }
        if (name == QLatin1String("type") || name == QLatin1String("grep"))
            continue;
        if (seen.contains(name))
            return name;
        seen << name;
    }
    return QString();
}

QCommandLineOption RangeOptions::dayOption()
{
    return QCommandLineOption(QStringLiteral("day"),
                              QStringLiteral("The records of one day (default: today): "
                                             "yyyy-MM-dd, today, yesterday, -2d, -1w."),
                              QStringLiteral("day"));
}

void RangeOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOption(m_day);
    parser.addOption(m_from);
    parser.addOption(m_to);
    parser.addOption(m_since);
    parser.addOption(m_until);
}

// One end of the range: --from/--to or --since/--until, which exclude each other.
bool RangeOptions::readEnd(const QCommandLineParser &parser, const QCommandLineOption &exact,
                           const QCommandLineOption &relative, QString *moment,
                           QString *problem) const
{
    if (parser.isSet(exact) && parser.isSet(relative)) {
        *problem = QStringLiteral("--%1 and --%2 exclude each other")
                       .arg(exact.names().last(), relative.names().last());
        return false;
    }
    const QCommandLineOption &given = parser.isSet(exact) ? exact : relative;
    return !parser.isSet(given) || readMoment(now, parser.value(given), moment, problem);
}

bool RangeOptions::isGiven(const QCommandLineParser &parser) const
{
    return parser.isSet(m_day) || parser.isSet(m_from) || parser.isSet(m_to) ||
           parser.isSet(m_since) || parser.isSet(m_until);
}

bool RangeOptions::read(const QCommandLineParser &parser, SystemLog::LogSelection *query,
                        QString *problem)
{
    if (!readClock(&now, problem))
        return false;
    const bool hasDay = parser.isSet(m_day);
    const bool hasRange = parser.isSet(m_from) || parser.isSet(m_to) || parser.isSet(m_since) ||
                          parser.isSet(m_until);
    if (hasDay && hasRange) {
        *problem = QStringLiteral("--day and a range (--from/--since, --to/--until) exclude "
                                  "each other");
        return false;
    }
    if (!hasRange) {
        QString day = dayText(now.date());
        if (hasDay && !readDay(now, parser.value(m_day), &day, problem))
            return false;
        query->from = SystemLog::dayStart(day);
        query->to = SystemLog::dayEnd(day);
        return true;
    }
    QString &from = query->from;
    QString &to = query->to;
    if (!readEnd(parser, m_from, m_since, &from, problem) ||
        !readEnd(parser, m_to, m_until, &to, problem))
        return false;
    if (!from.isEmpty() && !to.isEmpty() && from > to) {
        *problem = QStringLiteral("the start of the range is after its end");
        return false;
    }
    return true;
}

void SelectionOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOption(m_type);
    parser.addOption(m_grep);
    parser.addOption(m_regex);
    parser.addOption(m_caseSensitive);
}

bool hasCapitals(const QString &pattern)
{
    for (int i = 0; i < pattern.size(); ++i) {
        if (pattern.at(i) == QLatin1Char('\\')) {
            // An escape's letter, and the name of a property (\p{Lu}, \P{Han}).
            ++i;
            if (i + 1 < pattern.size() && pattern.at(i).toLower() == QLatin1Char('p') &&
                pattern.at(i + 1) == QLatin1Char('{'))
                i = std::max(i, pattern.indexOf(QLatin1Char('}'), i));
            continue;
        }
        if (pattern.at(i).isUpper())
            return true;
    }
    return false;
}

bool SelectionOptions::read(const QCommandLineParser &parser, SystemLog::LogSelection *query,
                            QString *problem)
{
    for (const QString &value : parser.values(m_type)) {
        if (!parseCategories(value, &query->types, problem))
            return false;
    }
    query->grep = parser.values(m_grep);
    if (!parser.isSet(m_regex)) {
        if (!parser.isSet(m_caseSensitive))
            return true;
        *problem = QStringLiteral("--case-sensitive applies to -g/--regex");
        return false;
    }
    const QString pattern = parser.value(m_regex);
    QRegularExpression::PatternOptions options = QRegularExpression::UseUnicodePropertiesOption;
    if (!parser.isSet(m_caseSensitive) && !hasCapitals(pattern))
        options |= QRegularExpression::CaseInsensitiveOption;
    query->pattern = QRegularExpression(pattern, options);
    if (!query->pattern.isValid()) {
        *problem = QStringLiteral("bad pattern '%1': %2 (at character %3)")
                       .arg(pattern, query->pattern.errorString())
                       .arg(query->pattern.patternErrorOffset() + 1);
        return false;
    }
    query->pattern.optimize();
    return true;
}

bool FormatOption::read(const QCommandLineParser &parser, QString *problem)
{
    if (parser.isSet(m_format) && !parseFormat(parser.value(m_format), &format)) {
        *problem = QStringLiteral("unknown format '%1' (text, window, csv or json)")
                       .arg(parser.value(m_format));
        return false;
    }
    bom = parser.isSet(m_bom);
    if (bom && format != Format::Csv) {
        *problem = QStringLiteral("--bom applies to csv");
        return false;
    }
    return true;
}

void TextStyleOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOption(m_color);
    parser.addOption(m_escape);
    parser.addOption(m_raw);
}

bool TextStyleOptions::read(const QCommandLineParser &parser, const FormatOption &formatOption,
                            QString *problem)
{
    const Format format = formatOption.format;
    style.bom = formatOption.bom;
    if (parser.isSet(m_escape) && parser.isSet(m_raw)) {
        *problem = QStringLiteral("--escape and --raw exclude each other");
        return false;
    }
    const bool text = format == Format::Text || format == Format::Window;
    if (!text && (parser.isSet(m_escape) || parser.isSet(m_raw))) {
        *problem = QStringLiteral("--escape and --raw apply to --format text and window (csv and "
                                  "json escape by their own rules)");
        return false;
    }
    const bool terminal = outputIsTerminal();
    const QString when = parser.value(m_color);
    if (when == QLatin1String("always")) {
        style.colour = true;
    } else if (when == QLatin1String("auto")) {
        // NO_COLOR (no-color.org): set and not empty, no colour unless the option asks for it.
        style.colour =
            terminal && qEnvironmentVariableIsEmpty("NO_COLOR") && qgetenv("TERM") != "dumb";
    } else if (when != QLatin1String("never")) {
        *problem = QStringLiteral("--color takes auto, always or never");
        return false;
    }
    style.colour = style.colour && text;
    // Through a pipe the stored bytes, on a terminal nothing that could take it over.
    style.terminal = terminal;
    style.bytes = !parser.isSet(m_raw) && (parser.isSet(m_escape) || terminal)
                      ? TextStyle::Bytes::Escaped
                      : TextStyle::Bytes::Raw;
    return true;
}

} // namespace TallyLog
