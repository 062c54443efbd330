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
        // The text as UTF-8 when no character of it has a case (no other character folds to
        // it: Chinese, digits, punctuation), so that it is found by its bytes alone; else null.
        QByteArray caseless;
    };
    std::vector<Term> m_terms;
    QRegularExpression m_pattern; // invalid or empty: none
    bool m_hasPattern = false;
};

} // namespace SystemLog
