#include "forward/HttpAnswer.h"

#include <QList>

#include <algorithm>

namespace TallyLog {

namespace {

// A head (status line and headers) longer than this is taken for no HTTP answer.
constexpr int kMaxHead = 64 << 10;
constexpr char kVersionPrefix[] = "HTTP/";

// The value of a header line "Name: value" when its name is `name` (ignoring case).
bool headerValue(const QByteArray &line, const QByteArray &name, QByteArray *value)
{
    const int colon = line.indexOf(':');
    if (colon < 0 || line.left(colon).trimmed().toLower() != name)
        return false;
    *value = line.mid(colon + 1).trimmed();
    return true;
}

bool hasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> parts = value.toLower().split(',');
    return std::any_of(parts.begin(), parts.end(),
                       [&](const QByteArray &part) { return part.trimmed() == token; });
}

} // namespace

void HttpAnswer::reset()
{
    *this = HttpAnswer();
}

HttpAnswer::State HttpAnswer::fail(const QString &problem)
{
    m_problem = problem;
    return m_state = State::Malformed;
}

HttpAnswer::State HttpAnswer::feed(const char *data, qint64 size)
{
    if (size <= 0)
        return m_state;
    m_begun = true;
    if (m_state != State::Incomplete) {
        m_trailing = true;
        return m_state;
    }
    m_pending.append(data, static_cast<int>(size));
    return parse();
}

HttpAnswer::State HttpAnswer::closed()
{
    m_keepAlive = false;
    if (m_state != State::Incomplete)
        return m_state;
    if (m_part == Part::Body && m_framing == Framing::UntilClosed)
        return m_state = State::Complete;
    return m_state;
}

bool HttpAnswer::readLine(QByteArray *line)
{
    const int end = m_pending.indexOf('\n');
    if (end < 0)
        return false;
    *line = m_pending.left(end);
    if (line->endsWith('\r'))
        line->chop(1);
    m_pending.remove(0, end + 1);
    return true;
}

void HttpAnswer::keepBody(const char *data, qint64 size)
{
    const qint64 room = kKeptBody - m_body.size();
    if (room > 0)
        m_body.append(data, static_cast<int>(std::min(room, size)));
}

int HttpAnswer::headEnd(int *separator)
{
    const int prefix = std::min<int>(m_pending.size(), sizeof kVersionPrefix - 1);
    if (!m_pending.startsWith(QByteArray(kVersionPrefix, prefix))) {
        fail(QStringLiteral("the answer is not HTTP"));
        return -1;
    }
    int end = m_pending.indexOf("\r\n\r\n");
    *separator = 4;
    const int bare = m_pending.indexOf("\n\n");
    if (bare >= 0 && (end < 0 || bare < end)) {
        end = bare;
        *separator = 2;
    }
    if (end < 0 && m_pending.size() > kMaxHead)
        fail(QStringLiteral("the answer's head is longer than %1 bytes").arg(kMaxHead));
    return end;
}

bool HttpAnswer::readStatusLine(const QByteArray &line)
{
    // "HTTP/1.1 200 OK"
    const QByteArray statusLine = line.trimmed();
    const QList<QByteArray> words = statusLine.split(' ');
    bool number = false;
    m_status = words.size() >= 2 ? words.at(1).toInt(&number) : 0;
    if (!number || m_status < 100 || m_status > 999 || words.at(1).size() != 3) {
        fail(QStringLiteral("the answer's status line is \"%1\"")
                 .arg(QString::fromLatin1(statusLine.left(80))));
        return false;
    }
    m_reason = statusLine.mid(statusLine.indexOf(' ', statusLine.indexOf(' ') + 1) + 1);
    if (words.size() < 3)
        m_reason.clear();
    // HTTP/1.0 closes the connection unless asked to keep it.
    m_keepAlive = words.first() != "HTTP/1.0";
    return true;
}

bool HttpAnswer::readHeaders(const QList<QByteArray> &lines, bool *chunked, qint64 *length)
{
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        QByteArray value;
        if (headerValue(line, "connection", &value)) {
            if (hasToken(value, "close"))
                m_keepAlive = false;
            else if (hasToken(value, "keep-alive"))
                m_keepAlive = true;
        } else if (headerValue(line, "transfer-encoding", &value)) {
            *chunked = *chunked || hasToken(value, "chunked");
        } else if (headerValue(line, "content-length", &value)) {
            bool ok = false;
            *length = value.toLongLong(&ok);
            if (!ok || *length < 0) {
                fail(QStringLiteral("the answer's Content-Length is \"%1\"")
                         .arg(QString::fromLatin1(value.left(40))));
                return false;
            }
        }
    }
    return true;
}

void HttpAnswer::chooseFraming(bool chunked, qint64 length)
{
    m_part = Part::Body;
    if (m_status == 204 || m_status == 304) {
        m_framing = Framing::None;
    } else if (chunked) {
        m_framing = Framing::Chunked;
        m_part = Part::ChunkSize;
    } else if (length >= 0) {
        m_framing = Framing::Length;
        m_left = length;
    } else {
        m_framing = Framing::UntilClosed;
        m_keepAlive = false;
    }
}

bool HttpAnswer::readHead()
{
    int separator = 0;
    const int end = headEnd(&separator);
    if (end < 0)
        return false;
    const QList<QByteArray> lines = m_pending.left(end).split('\n');
    m_pending.remove(0, end + separator);
    bool chunked = false;
    qint64 length = -1;
    if (!readStatusLine(lines.first()) || !readHeaders(lines, &chunked, &length))
        return false;
    if (m_status < 200) {
        // An interim answer (100 Continue): the real one follows.
        m_status = 0;
        return true;
    }
    chooseFraming(chunked, length);
    return true;
}

bool HttpAnswer::takeCounted()
{
    const qint64 taken = std::min<qint64>(m_left, m_pending.size());
    keepBody(m_pending.constData(), taken);
    m_pending.remove(0, static_cast<int>(taken));
    m_left -= taken;
    return m_left == 0;
}

bool HttpAnswer::complete()
{
    m_trailing = !m_pending.isEmpty();
    m_state = State::Complete;
    return false;
}

bool HttpAnswer::readBody()
{
    if (m_framing == Framing::None || m_framing == Framing::Length)
        return takeCounted() && complete();
    keepBody(m_pending.constData(), m_pending.size());
    m_pending.clear();
    return false;
}

bool HttpAnswer::readChunkSize()
{
    QByteArray line;
    if (!readLine(&line))
        return false;
    const int extension = line.indexOf(';');
    bool ok = false;
    m_left = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&ok, 16);
    if (!ok || m_left < 0) {
        fail(QStringLiteral("the answer's chunk size is \"%1\"")
                 .arg(QString::fromLatin1(line.left(40))));
        return false;
    }
    m_part = m_left == 0 ? Part::Trailer : Part::ChunkData;
    return true;
}

bool HttpAnswer::readChunkEnd()
{
    QByteArray line;
    if (!readLine(&line))
        return false;
    m_part = Part::ChunkSize;
    return true;
}

bool HttpAnswer::readTrailer()
{
    QByteArray line;
    if (!readLine(&line))
        return false;
    return line.isEmpty() ? complete() : true;
}

bool HttpAnswer::step()
{
    switch (m_part) {
    case Part::Head:
        return readHead();
    case Part::Body:
        return readBody();
    case Part::ChunkSize:
        return readChunkSize();
    case Part::ChunkData:
        if (!takeCounted())
            return false;
        m_part = Part::ChunkEnd;
        return true;
    case Part::ChunkEnd:
        return readChunkEnd();
    case Part::Trailer:
        return readTrailer();
    }
    return false;
}

HttpAnswer::State HttpAnswer::parse()
{
    while (step()) {
    }
    return m_state;
}

} // namespace TallyLog
