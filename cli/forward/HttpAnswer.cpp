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

bool HttpAnswer::readHead()
{
    const int prefix = std::min<int>(m_pending.size(), sizeof kVersionPrefix - 1);
    if (!m_pending.startsWith(QByteArray(kVersionPrefix, prefix))) {
        fail(QStringLiteral("the answer is not HTTP"));
        return false;
    }
    int end = m_pending.indexOf("\r\n\r\n");
    int separator = 4;
    const int bare = m_pending.indexOf("\n\n");
    if (bare >= 0 && (end < 0 || bare < end)) {
        end = bare;
        separator = 2;
    }
    if (end < 0) {
        if (m_pending.size() > kMaxHead)
            fail(QStringLiteral("the answer's head is longer than %1 bytes").arg(kMaxHead));
        return false;
    }
    const QList<QByteArray> lines = m_pending.left(end).split('\n');
    m_pending.remove(0, end + separator);
    // "HTTP/1.1 200 OK"
    const QByteArray statusLine = lines.first().trimmed();
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
    const bool http10 = words.first() == "HTTP/1.0";
    m_keepAlive = !http10;
    bool chunked = false;
    qint64 length = -1;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        QByteArray value;
        if (headerValue(line, "connection", &value)) {
            if (hasToken(value, "close"))
                m_keepAlive = false;
            else if (hasToken(value, "keep-alive"))
                m_keepAlive = true;
        } else if (headerValue(line, "transfer-encoding", &value)) {
            chunked = chunked || hasToken(value, "chunked");
        } else if (headerValue(line, "content-length", &value)) {
            bool ok = false;
            length = value.toLongLong(&ok);
            if (!ok || length < 0) {
                fail(QStringLiteral("the answer's Content-Length is \"%1\"")
                         .arg(QString::fromLatin1(value.left(40))));
                return false;
            }
        }
    }
    if (m_status < 200) {
        // An interim answer (100 Continue): the real one follows.
        m_status = 0;
        return true;
    }
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
    return true;
}

HttpAnswer::State HttpAnswer::parse()
{
    for (;;) {
        switch (m_part) {
        case Part::Head:
            if (!readHead())
                return m_state;
            continue;
        case Part::Body:
            if (m_framing == Framing::None || m_framing == Framing::Length) {
                const qint64 taken = std::min<qint64>(m_left, m_pending.size());
                keepBody(m_pending.constData(), taken);
                m_pending.remove(0, static_cast<int>(taken));
                m_left -= taken;
                if (m_left > 0)
                    return m_state;
                m_trailing = !m_pending.isEmpty();
                return m_state = State::Complete;
            }
            keepBody(m_pending.constData(), m_pending.size());
            m_pending.clear();
            return m_state;
        case Part::ChunkSize: {
            QByteArray line;
            if (!readLine(&line))
                return m_state;
            const int extension = line.indexOf(';');
            bool ok = false;
            m_left = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&ok, 16);
            if (!ok || m_left < 0)
                return fail(QStringLiteral("the answer's chunk size is \"%1\"")
                                .arg(QString::fromLatin1(line.left(40))));
            m_part = m_left == 0 ? Part::Trailer : Part::ChunkData;
            continue;
        }
        case Part::ChunkData: {
            const qint64 taken = std::min<qint64>(m_left, m_pending.size());
            keepBody(m_pending.constData(), taken);
            m_pending.remove(0, static_cast<int>(taken));
            m_left -= taken;
            if (m_left > 0)
                return m_state;
            m_part = Part::ChunkEnd;
            continue;
        }
        case Part::ChunkEnd: {
            QByteArray line;
            if (!readLine(&line))
                return m_state;
            m_part = Part::ChunkSize;
            continue;
        }
        case Part::Trailer: {
            QByteArray line;
            if (!readLine(&line))
                return m_state;
            if (!line.isEmpty())
                continue;
            m_trailing = !m_pending.isEmpty();
            return m_state = State::Complete;
        }
        }
    }
}

} // namespace TallyLog
