#include "DayExport.h"

#include <QDir>

#include <cerrno>
#include <cstring>

namespace SystemLog {

QString DayExport::filePath(const QString &dir, const QString &day, const QString &suffix)
{
    return QDir(dir).filePath(day + QString::fromUtf8("系统日志") + suffix);
}

void DayExport::appendRecord(std::string &out, std::string_view stamp, std::string_view message)
{
    out.append(stamp);
    out += ":\n";
    out.append(message);
    out += '\n';
}

void DayExport::appendRecord(std::string &out, const LogRow &row)
{
    const QByteArray stamp = row.first.toUtf8();
    const QByteArray message = row.second.toUtf8();
    appendRecord(out, std::string_view(stamp.constData(), static_cast<size_t>(stamp.size())),
                 std::string_view(message.constData(), static_cast<size_t>(message.size())));
}

DayExport::DayExport(const QString &path) : m_file(path) {}

DayExport::~DayExport()
{
    cancel();
}

bool DayExport::open()
{
    if (m_file.open(QIODevice::WriteOnly))
        return true;
    return fail(0);
}

bool DayExport::write(std::string_view bytes)
{
    errno = 0;
    const qint64 size = static_cast<qint64>(bytes.size());
    if (m_file.write(bytes.data(), size) == size)
        return true;
    return fail(errno);
}

bool DayExport::commit()
{
    // The last buffered bytes are written out first: QSaveFile::commit() would put a file whose
    // final bytes could not be written in place of the earlier one.
    errno = 0;
    if (m_file.flush() && m_file.commit())
        return true;
    return fail(errno);
}

void DayExport::cancel()
{
    // The temporary file is removed when m_file goes.
    if (m_file.isOpen())
        m_file.cancelWriting();
}

bool DayExport::fail(int savedErrno)
{
    m_error = m_file.errorString();
    // A short write leaves the device without an error text of its own; the system's reason is
    // in errno.
    if ((m_error.isEmpty() || m_error == QLatin1String("Unknown error")) && savedErrno != 0)
        m_error = QString::fromLocal8Bit(std::strerror(savedErrno));
    cancel();
    return false;
}

} // namespace SystemLog
