#include "ListingText.h"

#include <algorithm>

namespace ListingText {

namespace {

void appendLines(QString &out, std::string_view bytes)
{
    const int from = out.size();
    out += QString::fromUtf8(bytes.data(), int(bytes.size()));
    if (out.indexOf(QLatin1Char('\r'), from) < 0)
        return;
    QString lines = out.mid(from);
    lines.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    out.truncate(from);
    out += lines;
}

// The first `bytes` bytes of a UTF-8 text, not ending inside a character.
std::string_view beginning(std::string_view text, size_t bytes)
{
    size_t end = std::min(bytes, text.size());
    // Back over continuation bytes (10xxxxxx) to the start of the character they belong to.
    for (int back = 0; back < 3 && end > 0 && end < text.size() &&
                       (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80;
         ++back)
        --end;
    return text.substr(0, end);
}

// Whether the view's layout may break a line at this byte: ASCII white space and hyphens, and
// every byte of a character beyond ASCII (most scripts beyond ASCII break between words or
// ideographs; a run of them is never as long in practice).
bool breaksLine(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '-' || c >= 0x80;
}

} // namespace

size_t shownBytes(std::string_view message)
{
    const bool tooLong = message.size() > size_t(kCutBytes);
    const size_t end =
        tooLong ? std::min(message.size(), size_t(kShownBytes + kLongRun) + 1) : message.size();
    size_t run = 0;
    for (size_t i = 0; i < end; ++i) {
        run = breaksLine(static_cast<unsigned char>(message[i])) ? 0 : run + 1;
        if (run > size_t(kLongRun))
            return std::min(i, size_t(kShownBytes));
    }
    return tooLong ? size_t(kShownBytes) : message.size();
}

QString record(std::string_view stamp, std::string_view message, Form form)
{
    const size_t shown = form == Form::Shown ? shownBytes(message) : message.size();
    const bool cut = shown < message.size();
    QString text;
    appendLines(text, stamp);
    text += QLatin1String(":\n");
    if (!cut) {
        appendLines(text, message);
        return text;
    }
    appendLines(text, beginning(message, shown));
    text += QString::fromUtf8("\n〔此记录过长（%1 MB），这里只显示开头；复制可得全文〕")
                .arg(double(message.size()) / (1 << 20), 0, 'f', 1);
    return text;
}

QString gap(const QString &stamp, Gap why, const QString &reason)
{
    QString text = stamp + QLatin1String(":\n");
    switch (why) {
    case Gap::Gone:
        return text + QString::fromUtf8("〔此记录已不在日志中〕");
    case Gap::Busy:
        return text + QString::fromUtf8("〔日志文件正被其他程序占用，稍后再读〕");
    case Gap::Failed:
        break;
    }
    return text + QString::fromUtf8("〔无法读取此记录：%1〕").arg(reason);
}

} // namespace ListingText
