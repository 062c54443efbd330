#pragma once

// The layout of a spill segment: a header, then frames, one per record, all little-endian.
//
//   header  "TVSPILL1", an 8-byte random salt, the segment's 16-byte id, 4 zero bytes and a
//           CRC-32C of the 36 bytes before it (40 bytes)
//   frame   payload length L (4), a check of the length (4), a check of length and payload (4),
//           then the payload: the logging moment in seconds since the epoch (8), the category
//           (4), the length of the local time text (1), that text, and the message's UTF-8
//           bytes, which fill the rest of L
//
// Both checks of a frame are CRC-32C seeded with the segment's salt, so a frame can only check
// out in the segment it was written for: a message holding the bytes of a well-formed frame
// (of any segment) is never taken for a frame when a reader resynchronises after damage.

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace SystemLog::Spill {

constexpr char kMagic[8] = {'T', 'V', 'S', 'P', 'I', 'L', 'L', '1'};
constexpr int kHeaderSize = 40;
constexpr int kSaltSize = 8;
constexpr int kIdSize = 16;
constexpr int kFrameHeaderSize = 12;
// Moment, category and the stamp's length.
constexpr int kPayloadFixedSize = 13;

// CRC-32C (Castagnoli) of `size` bytes, continuing from `crc` (0 to start).
std::uint32_t crc32c(std::uint32_t crc, const void *data, std::size_t size);

struct Header
{
    QByteArray salt; // kSaltSize bytes
    QByteArray id;   // kIdSize bytes
};

// A new header with the given salt and id.
QByteArray encodeHeader(const Header &header);

enum class HeaderCheck
{
    Sound,
    Short,      // fewer bytes than a header, all of them a start of one: a segment whose
                // creation was cut short, which never held a record
    NotASegment // no magic, or a header that does not check out
};
HeaderCheck checkHeader(const char *data, std::size_t size, Header *header);

// What a frame carries.
struct FrameRecord
{
    qint64 loggedAt = 0;
    int type = 0;
    std::string_view stamp;
    std::string_view message;
};

// The seed of a segment's frame checks.
std::uint32_t frameSeed(const QByteArray &salt);

// Appends the frame of one record to `out`.
void appendFrame(QByteArray &out, std::uint32_t seed, const FrameRecord &record);
// The size of the frame of a record (for the disk bound).
inline qint64 frameSize(std::size_t stampSize, std::size_t messageSize)
{
    return kFrameHeaderSize + kPayloadFixedSize + qint64(stampSize) + qint64(messageSize);
}

// The payload length a frame header at `data` (kFrameHeaderSize bytes) announces, when its
// length check holds; -1 when it does not.
qint64 checkedFrameLength(const char *data, std::uint32_t seed);
// Whether the whole frame at `data` (kFrameHeaderSize + length bytes) checks out, and what it
// carries (views into `data`).
bool decodeFrame(const char *data, qint64 length, std::uint32_t seed, FrameRecord *record);

} // namespace SystemLog::Spill
