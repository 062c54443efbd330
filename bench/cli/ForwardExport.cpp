// bench_forward_export: writes every record of a log file in the Journal Export Format, exactly
// as `tallylog forward` sends them to systemd-journal-remote, into one file; or only those from
// a moment on, of some types, with a text, as `forward --from --type --grep` selects them. The
// benchmark posts that file with curl beside forwarding the log itself (scripts/bench-forward.sh).
//
//   bench_forward_export LOG FILE HOSTNAME [FROM [TYPE,TYPE... [TEXT]]]   (FROM or TYPES "": all)

#include "forward/ForwardEncoding.h"
#include "read/LogReader.h"

#include <QFile>

#include <cstdio>
#include <string>

int main(int argc, char *argv[])
{
    if (argc < 4 || argc > 7) {
        std::fprintf(stderr,
                     "usage: bench_forward_export LOG FILE HOSTNAME [FROM [TYPES [TEXT]]]\n");
        return 2;
    }
    SystemLog::LogSelection selection;
    if (argc > 4)
        selection.from = QString::fromLocal8Bit(argv[4]);
    if (argc > 5) {
        for (const QString &type : QString::fromLocal8Bit(argv[5]).split(',', Qt::SkipEmptyParts))
            selection.types << type.toInt();
    }
    if (argc > 6)
        selection.grep << QString::fromLocal8Bit(argv[6]);
    SystemLog::LogReader reader;
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!reader.open(QString::fromLocal8Bit(argv[1])) || !out.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "bench_forward_export: cannot open the log or the output\n");
        return 1;
    }
    TallyLog::JournalExportEncoder encoder({QByteArrayLiteral("tallyview"), QByteArray(argv[3])});
    std::string buffer;
    const auto flush = [&] {
        const bool written = out.write(buffer.data(), static_cast<qint64>(buffer.size())) ==
                             static_cast<qint64>(buffer.size());
        buffer.clear();
        return written;
    };
    const bool ok = reader.select(selection, [&](const SystemLog::LogRecordView &record) {
        encoder.append(buffer, record);
        return buffer.size() < (1 << 20) || flush();
    });
    return ok && flush() && out.flush() ? 0 : 1;
}
