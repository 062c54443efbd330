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

} // namespace

QString record(std::string_view stamp, std::string_view message, Form form)
{
    const bool cut = form == Form::Shown && isCut(message.size());
    QString text;
    appendLines(text, stamp);
    text += QLatin1String(":\n");
    if (!cut) {
        appendLines(text, message);
        return text;
    }
    appendLines(text, beginning(message, size_t(kShownBytes)));
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
