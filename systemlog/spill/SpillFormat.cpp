#include "spill/SpillFormat.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define SPILL_HARDWARE_CRC 1
#endif

namespace SystemLog::Spill {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u; // Castagnoli, reflected

// Eight tables for slicing by eight bytes at a time.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

Tables makeTables()
{
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i) {
        for (int s = 1; s < 8; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    }
    return t;
}

const Tables &tables()
{
    static const Tables t = makeTables();
    return t;
}

std::uint32_t softwareCrc(std::uint32_t crc, const unsigned char *p, std::size_t size)
{
    const Tables &t = tables();
    while (size >= 8) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + 4, 4);
        low ^= crc;
        crc = t[7][low & 0xff] ^ t[6][(low >> 8) & 0xff] ^ t[5][(low >> 16) & 0xff] ^
              t[4][low >> 24] ^ t[3][high & 0xff] ^ t[2][(high >> 8) & 0xff] ^
              t[1][(high >> 16) & 0xff] ^ t[0][high >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xff];
    return crc;
}

#ifdef SPILL_HARDWARE_CRC
__attribute__((target("sse4.2"))) std::uint32_t
hardwareCrc(std::uint32_t crc, const unsigned char *p, std::size_t size)
{
    std::uint64_t c = crc;
    while (size >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
        p += 8;
        size -= 8;
    }
    std::uint32_t c32 = static_cast<std::uint32_t>(c);
    while (size-- > 0)
        c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

bool hasHardwareCrc()
{
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

void putU32(char *at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint32_t getU32(const char *at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(at[i])) << (8 * i);
    return v;
}

void putU64(char *at, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint64_t getU64(const char *at)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= std::uint64_t(static_cast<unsigned char>(at[i])) << (8 * i);
    return v;
}

} // namespace

std::uint32_t crc32c(std::uint32_t crc, const void *data, std::size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
#ifdef SPILL_HARDWARE_CRC
    if (hasHardwareCrc())
        return ~hardwareCrc(crc, p, size);
#endif
    return ~softwareCrc(crc, p, size);
}

QByteArray encodeHeader(const Header &header)
{
    char p[kHeaderSize] = {};
    std::memcpy(p, kMagic, sizeof kMagic);
    std::memcpy(p + 8, header.salt.constData(),
                std::size_t(qMin(int(kSaltSize), header.salt.size())));
    std::memcpy(p + 16, header.id.constData(), std::size_t(qMin(int(kIdSize), header.id.size())));
    putU32(p + 36, crc32c(0, p, 36));
    return QByteArray(p, kHeaderSize);
}

HeaderCheck checkHeader(const char *data, std::size_t size, Header *header)
{
    if (size < std::size_t(kHeaderSize)) {
        // Only the magic is written before the rest is known: a creation cut short leaves a
        // start of it, or nothing.
        const std::size_t n = qMin(size, sizeof kMagic);
        return std::memcmp(data, kMagic, n) == 0 ? HeaderCheck::Short : HeaderCheck::NotASegment;
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0 || getU32(data + 36) != crc32c(0, data, 36))
        return HeaderCheck::NotASegment;
    if (header) {
        header->salt = QByteArray(data + 8, kSaltSize);
        header->id = QByteArray(data + 16, kIdSize);
    }
    return HeaderCheck::Sound;
}

std::uint32_t frameSeed(const QByteArray &salt)
{
    return crc32c(0, salt.constData(), std::size_t(salt.size()));
}

void appendFrame(QByteArray &out, std::uint32_t seed, const FrameRecord &record)
{
    const std::size_t stampSize = qMin<std::size_t>(record.stamp.size(), 255);
    const qint64 length = kPayloadFixedSize + qint64(stampSize) + qint64(record.message.size());
    char head[kFrameHeaderSize + kPayloadFixedSize];
    putU32(head, std::uint32_t(length));
    putU32(head + 4, crc32c(seed, head, 4));
    char *fixed = head + kFrameHeaderSize;
    putU64(fixed, std::uint64_t(record.loggedAt));
    putU32(fixed + 8, std::uint32_t(record.type));
    fixed[12] = static_cast<char>(stampSize);
    std::uint32_t crc = crc32c(seed, head, 4);
    crc = crc32c(crc, fixed, kPayloadFixedSize);
    crc = crc32c(crc, record.stamp.data(), stampSize);
    crc = crc32c(crc, record.message.data(), record.message.size());
    putU32(head + 8, crc);
    out.append(head, int(sizeof head));
    out.append(record.stamp.data(), int(stampSize));
    out.append(record.message.data(), int(record.message.size()));
}

qint64 checkedFrameLength(const char *data, std::uint32_t seed)
{
    const std::uint32_t length = getU32(data);
    if (length < std::uint32_t(kPayloadFixedSize) || getU32(data + 4) != crc32c(seed, data, 4))
        return -1;
    return qint64(length);
}

bool decodeFrame(const char *data, qint64 length, std::uint32_t seed, FrameRecord *record)
{
    const char *payload = data + kFrameHeaderSize;
    std::uint32_t crc = crc32c(seed, data, 4);
    crc = crc32c(crc, payload, std::size_t(length));
    if (crc != getU32(data + 8))
        return false;
    const std::size_t stampSize = static_cast<unsigned char>(payload[12]);
    if (qint64(kPayloadFixedSize + stampSize) > length)
        return false;
    record->loggedAt = static_cast<qint64>(getU64(payload));
    record->type = static_cast<int>(getU32(payload + 8));
    record->stamp = std::string_view(payload + 13, stampSize);
    record->message = std::string_view(payload + 13 + stampSize,
                                       std::size_t(length) - kPayloadFixedSize - stampSize);
    return true;
}

} // namespace SystemLog::Spill
