#pragma once

// An HTTP/1.1 answer read as its bytes arrive: the status line, the headers and a body framed
// by Content-Length, by the chunked transfer coding or by the end of the connection. Interim
// answers (100 Continue) are passed over. Only the first bytes of the body are kept, to quote.

#include <QByteArray>
#include <QList>
#include <QString>

namespace TallyLog {

class HttpAnswer
{
public:
    enum class State
    {
        Incomplete, // more bytes are needed
        Complete,   // the answer has ended
        Malformed,  // the bytes are no HTTP answer (problem())
    };

    // Forgets everything read: for the answer to the next request.
    void reset();
    // Takes the bytes read from the connection.
    State feed(const char *data, qint64 size);
    // The connection has ended: a body framed by the end of the connection is complete now.
    State closed();

    State state() const { return m_state; }
    bool begun() const { return m_begun; } // a byte of the answer has arrived
    int status() const { return m_status; }
    const QByteArray &reason() const { return m_reason; } // of the status line ("Not Found")
    const QByteArray &body() const { return m_body; }     // its first kKeptBody bytes
    // Whether the connection can carry another request once this answer is complete: HTTP/1.1
    // without "Connection: close", a body with a length, and no bytes after the answer.
    bool reusable() const { return m_state == State::Complete && m_keepAlive && !m_trailing; }
    const QString &problem() const { return m_problem; }

    static constexpr int kKeptBody = 4096;

private:
    enum class Framing
    {
        None,
        Length,
        Chunked,
        UntilClosed,
    };
    enum class Part
    {
        Head,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
    };
    State fail(const QString &problem);
    // The steps of parse(), each for the part it reads: true when the next part can be read at
    // once, false when more bytes are needed or the answer ended or failed (m_state).
    bool step();
    bool readHead();
    int headEnd(int *separator); // -1 while the head is incomplete (or failed)
    bool readStatusLine(const QByteArray &line);
    bool readHeaders(const QList<QByteArray> &lines, bool *chunked, qint64 *length);
    void chooseFraming(bool chunked, qint64 length);
    bool readBody();
    bool readChunkSize();
    bool readChunkEnd();
    bool readTrailer();
    bool takeCounted(); // the rest of a counted body or chunk (m_left): true once all is in
    bool complete();    // the answer is whole: false, as a step that ends parse()
    bool readLine(QByteArray *line);
    void keepBody(const char *data, qint64 size);
    State parse();

    State m_state = State::Incomplete;
    Part m_part = Part::Head;
    Framing m_framing = Framing::None;
    QByteArray m_pending; // bytes not yet parsed
    QByteArray m_body;
    QByteArray m_reason;
    QString m_problem;
    qint64 m_left = 0; // of the body (Length) or of the chunk (ChunkData)
    int m_status = 0;
    bool m_begun = false;
    bool m_keepAlive = true;
    bool m_trailing = false; // bytes came after the end of the answer
};

} // namespace TallyLog
