#include "read/MessageGrep.h"

#include <algorithm>

namespace SystemLog {

namespace {

// Whether the message contains the text, ignoring case as QString does (Unicode case folding).
// Text and message both in ASCII, the common case, are compared byte by byte without decoding.
bool contains(std::string_view message, const QString &text, const QByteArray &asciiText)
{
    if (!asciiText.isNull() &&
        std::all_of(message.begin(), message.end(), [](char c) { return (c & 0x80) == 0; })) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        const auto hit =
            std::search(message.begin(), message.end(), asciiText.begin(), asciiText.end(),
                        [&](char a, char b) { return lower(a) == lower(b); });
        return hit != message.end() || asciiText.isEmpty();
    }
    return QString::fromUtf8(message.data(), static_cast<int>(message.size()))
        .contains(text, Qt::CaseInsensitive);
}

// The text as ASCII bytes, or a null array when it holds anything else.
QByteArray asciiOf(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 0x80)
            return QByteArray();
    }
    QByteArray ascii = text.toLatin1();
    if (ascii.isNull())
        ascii = QByteArray("");
    return ascii;
}

} // namespace

MessageGrep::MessageGrep(const QStringList &texts, const QRegularExpression &pattern)
    : m_pattern(pattern), m_hasPattern(!pattern.pattern().isEmpty())
{
    for (const QString &text : texts)
        m_terms.push_back({text, asciiOf(text)});
}

bool MessageGrep::matches(std::string_view message) const
{
    for (const Term &t : m_terms) {
        if (!contains(message, t.text, t.ascii))
            return false;
    }
    // A pattern that does not compile matches nothing.
    return !m_hasPattern ||
           m_pattern.match(QString::fromUtf8(message.data(), static_cast<int>(message.size())))
               .hasMatch();
}

} // namespace SystemLog
