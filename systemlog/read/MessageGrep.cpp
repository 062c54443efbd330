#include "read/MessageGrep.h"

#include "service/Utf8Text.h"

#include <algorithm>

namespace SystemLog {

namespace {

// Whether the message contains the text, ignoring case as QString does (Unicode case folding).
// Text and message both in ASCII, the common case, are compared byte by byte without decoding;
// so is a text without cased characters in a message that decodes as it is.
bool contains(std::string_view message, const QString &text, const QByteArray &asciiText,
              const QByteArray &caselessText)
{
    if (!caselessText.isNull() &&
        decodesUnchanged(message.data(), static_cast<int>(message.size())))
        return message.find(std::string_view(caselessText.constData(),
                                             static_cast<size_t>(caselessText.size()))) !=
               std::string_view::npos;
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

// The text as UTF-8 when no character of it takes part in case folding: letters without case
// (Han, kana, Hangul: category Lo), decimal digits, punctuation and spaces, none of which any
// other character folds to. Null for anything else (letters with case, symbols such as the
// circled letters, which fold, and the replacement character, which invalid bytes decode to).
QByteArray caselessOf(const QString &text)
{
    if (text.isEmpty())
        return QByteArray();
    for (const uint c : text.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Letter_Other:
        case QChar::Number_DecimalDigit:
        case QChar::Punctuation_Connector:
        case QChar::Punctuation_Dash:
        case QChar::Punctuation_Open:
        case QChar::Punctuation_Close:
        case QChar::Punctuation_InitialQuote:
        case QChar::Punctuation_FinalQuote:
        case QChar::Punctuation_Other:
        case QChar::Separator_Space:
            if (QChar::toCaseFolded(c) != c || c == QChar::ReplacementCharacter)
                return QByteArray();
            break;
        default:
            return QByteArray();
        }
    }
    return text.toUtf8();
}

} // namespace

MessageGrep::MessageGrep(const QStringList &texts, const QRegularExpression &pattern)
    : m_pattern(pattern), m_hasPattern(!pattern.pattern().isEmpty())
{
    for (const QString &text : texts)
        m_terms.push_back({text, asciiOf(text), caselessOf(text)});
}

bool MessageGrep::matches(std::string_view message) const
{
    for (const Term &t : m_terms) {
        if (!contains(message, t.text, t.ascii, t.caseless))
            return false;
    }
    // A pattern that does not compile matches nothing.
    return !m_hasPattern ||
           m_pattern.match(QString::fromUtf8(message.data(), static_cast<int>(message.size())))
               .hasMatch();
}

} // namespace SystemLog
