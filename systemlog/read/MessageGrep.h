#pragma once

// The texts a message must all contain, ignoring case as QString does (Unicode case folding):
// tallylog's --grep. Internal to the library.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <string_view>
#include <vector>

namespace SystemLog {

class MessageGrep
{
public:
    explicit MessageGrep(const QStringList &texts);
    // Whether the message holds every text (none: every message).
    bool matches(std::string_view message) const;

private:
    struct Term
    {
        QString text;
        QByteArray ascii; // the text as ASCII bytes, or null when it holds anything else
    };
    std::vector<Term> m_terms;
};

} // namespace SystemLog
