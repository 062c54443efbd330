#pragma once

// The texts a message must all contain, ignoring case as QString does (Unicode case folding), and
// the regular expression it must match: tallylog's --grep and --regex. Internal to the library.

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <string_view>
#include <vector>

namespace SystemLog {

class MessageGrep
{
public:
    MessageGrep(const QStringList &texts, const QRegularExpression &pattern);
    // Whether the message holds every text and matches the pattern (none: every message).
    bool matches(std::string_view message) const;

private:
    struct Term
    {
        QString text;
        QByteArray ascii; // the text as ASCII bytes, or null when it holds anything else
    };
    std::vector<Term> m_terms;
    QRegularExpression m_pattern; // invalid or empty: none
    bool m_hasPattern = false;
};

} // namespace SystemLog
