#pragma once

// The export of one day's records to "<dir>/<yyyy-MM-dd>系统日志.txt": the file's name, the text
// of its records and its atomic replacement. The window's export and tallylog's both write
// through it.

#include "LogTypes.h"

#include <QFile>
#include <QString>

#include <string>
#include <string_view>

namespace SystemLog {

class DayExport
{
public:
    // "<dir>/<day>系统日志<suffix>"; the suffix is ".txt" for the text form.
    static QString filePath(const QString &dir, const QString &day,
                            const QString &suffix = QStringLiteral(".txt"));
    // One record as the text form holds it: "<stamp>:\n<message>\n", UTF-8.
    static void appendRecord(std::string &out, std::string_view stamp, std::string_view message);
    static void appendRecord(std::string &out, const LogRow &row);

    explicit DayExport(const QString &path);
    ~DayExport();
    DayExport(const DayExport &) = delete;
    DayExport &operator=(const DayExport &) = delete;

    // The file is written as a new file beside the target and renamed over the target's name
    // only on commit(): a failed or abandoned export leaves an earlier file of the same name as
    // it was. Where the file system can, the new file has no name until then (O_TMPFILE), so
    // that an export killed part-way leaves nothing behind. Whatever is at that name (a file, a
    // symbolic link) is replaced, never written through: nothing outside the directory changes.
    bool open();
    bool write(std::string_view bytes);
    bool commit();
    // As commit(), but the new file takes the name only where nothing is there yet: never
    // replaces a file or a link, however recently it came (errorString() then says "File
    // exists").
    bool commitNew();
    void cancel();

    QString path() const { return m_path; }
    // The reason of the last failure; for a short write (a full disk, a file-size limit) the
    // system's reason.
    QString errorString() const { return m_error; }

private:
    bool finish(bool replace);
    bool fail(int savedErrno);

    QString m_path;
    QString m_tempPath; // the new file while it is written; empty while it has no name
    QFile m_file;
    QString m_error;
};

} // namespace SystemLog
