#pragma once

// Options that more than one command takes, each group with its definition, its checks and the
// values it yields. A command adds a group to its parser and reads it back after parsing.

#include "RecordFormat.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>
#include <QVector>

namespace TallyLog {

// --db PATH: the log file; every command takes it, before or after the command's name.
QCommandLineOption dbOption();

// A day "yyyy-MM-dd" that exists; a moment "yyyy-MM-dd hh:mm:ss" that exists.
bool isDay(const QString &text);
bool isMoment(const QString &text);

// Categories as numbers or names, comma-separated, each once, in the order given; false with
// *problem for one that is neither.
bool parseCategories(const QString &text, QVector<int> *types, QString *problem);

// --day D | --from F --to T: a day (default today) or a range, both ends included.
class RangeOptions
{
public:
    // --day alone, as export takes it.
    static QCommandLineOption dayOption();

    void addTo(QCommandLineParser &parser) const;
    bool read(const QCommandLineParser &parser, QString *problem);

    QString day; // empty for a range
    QString from;
    QString to;

private:
    QCommandLineOption m_day = dayOption();
    QCommandLineOption m_from{QStringLiteral("from"),
                              QStringLiteral("The records from this moment on (included)."),
                              QStringLiteral("yyyy-MM-dd hh:mm:ss")};
    QCommandLineOption m_to{QStringLiteral("to"),
                            QStringLiteral("The records up to this moment (included)."),
                            QStringLiteral("yyyy-MM-dd hh:mm:ss")};
};

// --type T[,T...] --grep TEXT: which records a listing shows.
class SelectionOptions
{
public:
    void addTo(QCommandLineParser &parser) const;
    bool read(const QCommandLineParser &parser, QString *problem);
    // Sets the selection's types and text.
    void applyTo(SystemLog::LogSelection *selection) const;

    QVector<int> types; // empty: every record
    QString grep;

private:
    QCommandLineOption m_type{QStringLiteral("type"),
                              QStringLiteral("Categories, as numbers 0-4 or names (报警记录), "
                                             "comma-separated (default: every record)."),
                              QStringLiteral("T[,T...]")};
    QCommandLineOption m_grep{QStringLiteral("grep"),
                              QStringLiteral("Only records whose message contains this text, "
                                             "ignoring case."),
                              QStringLiteral("text")};
};

// --format text|csv|json
class FormatOption
{
public:
    void addTo(QCommandLineParser &parser) const { parser.addOption(m_format); }
    bool read(const QCommandLineParser &parser, QString *problem);

    Format format = Format::Text;

private:
    QCommandLineOption m_format{QStringLiteral("format"),
                                QStringLiteral("text (as the window shows them), csv or json (JSON "
                                               "Lines); default text."),
                                QStringLiteral("format"), QStringLiteral("text")};
};

} // namespace TallyLog
