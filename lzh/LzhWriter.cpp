// Level-1 member headers, and members packed or stored.
//
// A member is written in one pass over the archive: a header with the sizes
// still unknown, the packed data, then the header again in its place. The
// packed data is never let grow to the content's size: the write that would
// reach it is refused, which ends the encoding, and the member is stored in
// its place instead. So nothing is ever left beyond the member's end.
#include "lzh/LzhWriter.h"

#include <cstring>

#include "lzh/LzhCrc.h"
#include "lzh/LzhEncoder.h"
#include "lzh/LzhFormat.h"
#include "platform/Disk.h"

namespace {

constexpr std::uint8_t kAttribute = 0x20;  // MS-DOS "archive"
constexpr std::uint8_t kLevel = 1;
constexpr std::uint8_t kSystem = 'W';
constexpr std::uint16_t kHeaderCrcExtensionSize = 5;  // type, CRC, next size

bool InUnixTimeRange(std::int64_t time) { return time >= 0 && time <= 0xFFFFFFFFLL; }

void PutLe(std::uint8_t* p, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Streams {
    std::FILE* archive;
    std::FILE* source;
    std::uint64_t left;         // content bytes still to read
    std::uint64_t packedLimit;  // packed bytes must stay below this
    std::uint64_t packed;
    bool readFailed;
    bool writeFailed;
};

std::size_t ReadContent(void* context, std::uint8_t* to, std::size_t count)
{
    Streams& s = *static_cast<Streams*>(context);
    if (count > s.left) count = static_cast<std::size_t>(s.left);
    if (count == 0 || s.readFailed) return 0;
    const std::size_t got = ReadDiskFile(to, 1, count, s.source);
    if (got < count) s.readFailed = true;
    s.left -= got;
    return got;
}

bool WritePacked(void* context, const std::uint8_t* bytes, std::size_t count)
{
    Streams& s = *static_cast<Streams*>(context);
    if (s.packed + count >= s.packedLimit) return false;
    if (WriteDiskFile(bytes, 1, count, s.archive) != count) {
        s.writeFailed = true;
        return false;
    }
    s.packed += count;
    return true;
}

// Copies the content as it is; false when the source fell short or failed.
bool StoreContent(Streams& s, std::uint16_t& crc)
{
    static std::uint8_t buffer[1u << 16];
    crc = 0;
    while (s.left > 0) {
        const std::size_t n = ReadContent(&s, buffer, sizeof buffer);
        if (n == 0) return false;
        crc = UpdateLzhCrc(crc, buffer, n);
        if (WriteDiskFile(buffer, 1, n, s.archive) != n) {
            s.writeFailed = true;
            return false;
        }
    }
    return !s.readFailed;
}

}  // namespace

std::size_t MakeLzhMemberHeader(const LzhHeaderFields& fields, std::uint8_t* out)
{
    const std::size_t n = fields.nameLength;
    const bool unixTime = InUnixTimeRange(fields.unixTime);
    const std::size_t extensions = kHeaderCrcExtensionSize + (unixTime ? kLzhUnixTimeSize : 0);
    const std::size_t size = kLzhMemberHeaderSize + n + (unixTime ? kLzhUnixTimeSize : 0);
    const std::size_t base = kLzhMemberHeaderSize - kHeaderCrcExtensionSize + n;  // the first extended header
    out[0] = static_cast<std::uint8_t>(base - 2);
    std::memcpy(out + 2, "-lh?-", 5);
    out[5] = static_cast<std::uint8_t>(fields.method);
    PutLe(out + 7, fields.packedSize + static_cast<std::uint32_t>(extensions), 4);
    PutLe(out + 11, fields.size, 4);
    PutLe(out + 15, fields.dosTime, 4);
    out[19] = kAttribute;
    out[20] = kLevel;
    out[21] = static_cast<std::uint8_t>(n);
    std::memcpy(out + 22, fields.name, n);
    PutLe(out + 22 + n, fields.crc, 2);
    out[24 + n] = kSystem;
    PutLe(out + 25 + n, kHeaderCrcExtensionSize, 2);
    out[base] = kLzhHeaderCrcExtension;
    PutLe(out + base + 1, 0, 2);
    PutLe(out + base + 3, unixTime ? kLzhUnixTimeSize : 0, 2);
    if (unixTime) {
        const std::size_t at = base + kHeaderCrcExtensionSize;
        out[at] = kLzhUnixTimeExtension;
        PutLe(out + at + 1, static_cast<std::uint32_t>(fields.unixTime), 4);
        PutLe(out + at + 5, 0, 2);  // no further extended header
    }

    std::uint8_t sum = 0;
    for (std::size_t i = 2; i < base; ++i) sum = static_cast<std::uint8_t>(sum + out[i]);
    out[1] = sum;
    PutLe(out + base + 1, UpdateLzhCrc(0, out, size), 2);
    return size;
}

std::uint32_t LzhDosTime(int year, int month, int day, int hour, int minute, int second)
{
    if (year < 1980) return LzhDosTime(1980, 1, 1, 0, 0, 0);
    if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
    return (static_cast<std::uint32_t>(year - 1980) << 25) | (static_cast<std::uint32_t>(month) << 21) |
           (static_cast<std::uint32_t>(day) << 16) | (static_cast<std::uint32_t>(hour) << 11) |
           (static_cast<std::uint32_t>(minute) << 5) | static_cast<std::uint32_t>(second / 2);
}

LzhAddedMember AddLzhMember(std::FILE* archive, std::FILE* source, std::uint64_t size, const char* name,
                            std::uint32_t dosTime, bool compress, std::int64_t unixTime)
{
    const std::size_t nameLength = std::strlen(name);
    if (nameLength > kLzhMaxWrittenName) return {LzhAddResult::NameTooLong, false, 0};
    if (size > kLzhMaxEncodedSize) return {LzhAddResult::TooLarge, false, 0};

    LzhHeaderFields fields{'5', 0, static_cast<std::uint32_t>(size), dosTime, 0, name, nameLength, unixTime};
    std::uint8_t header[kLzhMaxMemberHeaderSize];
    std::fpos_t headerAt;
    std::fpos_t dataAt;
    if (std::fgetpos(archive, &headerAt) != 0) return {LzhAddResult::CannotWrite, false, 0};
    const std::size_t headerSize = MakeLzhMemberHeader(fields, header);
    if (WriteDiskFile(header, 1, headerSize, archive) != headerSize || std::fgetpos(archive, &dataAt) != 0)
        return {LzhAddResult::CannotWrite, false, 0};

    Streams s{archive, source, size, size, 0, false, false};
    bool packed = false;
    if (compress && size > 0) {
        const LzhEncodeResult r = EncodeLh5({ReadContent, WritePacked, &s});
        if (s.writeFailed) return {LzhAddResult::CannotWrite, false, 0};
        if (s.readFailed || (!r.stopped && r.contentSize < size)) return {LzhAddResult::CannotRead, false, 0};
        packed = !r.stopped;
        fields.crc = r.crc;
        fields.packedSize = static_cast<std::uint32_t>(s.packed);
        if (!packed) {
            // Start again, and store.
            s.left = size;
            if (SeekDiskFile(source, 0, SEEK_SET) != 0) return {LzhAddResult::CannotRead, false, 0};
            if (std::fsetpos(archive, &dataAt) != 0) return {LzhAddResult::CannotWrite, false, 0};
        }
    }
    if (!packed) {
        fields.method = '0';
        fields.packedSize = static_cast<std::uint32_t>(size);
        if (!StoreContent(s, fields.crc))
            return {s.writeFailed ? LzhAddResult::CannotWrite : LzhAddResult::CannotRead, false, 0};
    }

    std::fpos_t endAt;
    MakeLzhMemberHeader(fields, header);
    if (std::fgetpos(archive, &endAt) != 0 || std::fsetpos(archive, &headerAt) != 0 ||
        WriteDiskFile(header, 1, headerSize, archive) != headerSize || std::fsetpos(archive, &endAt) != 0)
        return {LzhAddResult::CannotWrite, false, 0};
    return {LzhAddResult::Added, packed, fields.packedSize};
}

bool AddLzhFolderMember(std::FILE* archive, const char* name, std::uint32_t dosTime, std::int64_t unixTime)
{
    const std::size_t nameLength = std::strlen(name);
    if (nameLength > kLzhMaxWrittenName) return false;
    const LzhHeaderFields fields{'d', 0, 0, dosTime, 0, name, nameLength, unixTime};
    std::uint8_t header[kLzhMaxMemberHeaderSize];
    const std::size_t headerSize = MakeLzhMemberHeader(fields, header);
    return WriteDiskFile(header, 1, headerSize, archive) == headerSize;
}

bool EndLzhArchive(std::FILE* archive)
{
    const std::uint8_t end = 0;
    return WriteDiskFile(&end, 1, 1, archive) == 1 && FlushDiskFile(archive) == 0;
}
