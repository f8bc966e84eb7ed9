// ZipArchive: the zip container written here byte by byte; zlib deflates (raw, no zlib header) and sums the CRC-32.
#include "ZipArchive.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <system_error>

namespace {
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint16_t kVersionStored = 10;    // 1.0: a stored member
constexpr std::uint16_t kVersionDeflated = 20;  // 2.0: a deflated member; also "made by" (MS-DOS attributes, 2.0)
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;  // the name is UTF-8 (set only when it is not plain ASCII)
constexpr int kDeflateLevel = Z_DEFAULT_COMPRESSION;  // "normal" in the flags, which are left 0
constexpr int kRawDeflateWindowBits = -MAX_WBITS;  // negative: deflate without the zlib header and trailer
constexpr int kDeflateMemLevel = 8;                // zlib's default
constexpr std::uint64_t kMaxField32 = 0xFFFFFFFFu;  // beyond this a size or offset needs zip64
constexpr std::size_t kMaxMembers = 0xFFFF;         // beyond this the member count needs zip64
constexpr int kDosEpochYear = 1980;
constexpr int kDosLastYear = kDosEpochYear + 127;
constexpr std::uint16_t kDosEpochDate = 1 << 5 | 1;  // 1980-01-01: year 0, month 1, day 1

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void put32(std::string& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

// The raw deflate stream of `bytes`; nothing when zlib fails.
std::optional<std::string> deflated(const std::string& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, kDeflateLevel, Z_DEFLATED, kRawDeflateWindowBits, kDeflateMemLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return std::nullopt;
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const bool finished = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (!finished) return std::nullopt;
    return out;
}

bool plainAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
}  // namespace

zip::DosTime zip::dosTime(std::time_t when) {
    const std::tm* local = std::localtime(&when);
    if (local == nullptr || local->tm_year + 1900 < kDosEpochYear) return {0, kDosEpochDate};
    const int year = std::min(local->tm_year + 1900, kDosLastYear) - kDosEpochYear;
    return {static_cast<std::uint16_t>(local->tm_hour << 11 | local->tm_min << 5 | local->tm_sec / 2),
            static_cast<std::uint16_t>(year << 9 | (local->tm_mon + 1) << 5 | local->tm_mday)};
}

zip::Archive zip::build(const std::vector<Member>& members, DosTime when) {
    if (members.size() > kMaxMembers) return {"", "more than " + std::to_string(kMaxMembers) + " files"};
    std::string out, directory;
    for (const Member& m : members) {
        if (m.bytes.size() > kMaxField32 || m.name.size() > std::numeric_limits<std::uint16_t>::max()) {
            return {"", m.name + " is too large for a zip"};
        }
        const std::optional<std::string> squeezed = deflated(m.bytes);
        if (!squeezed) return {"", "zlib could not deflate " + m.name};
        const bool stored = squeezed->size() >= m.bytes.size();
        const std::string& packed = stored ? m.bytes : *squeezed;
        const std::uint16_t version = stored ? kVersionStored : kVersionDeflated;
        const std::uint16_t flags = plainAscii(m.name) ? 0 : kFlagUtf8Name;
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(m.bytes.data()), static_cast<uInt>(m.bytes.size())));
        const std::uint64_t offset = out.size();
        if (offset > kMaxField32) return {"", "more than 4 GiB of files"};
        // The fields a local header and its central directory entry share, from the method to the name's length.
        std::string common;
        put16(common, flags);
        put16(common, stored ? kMethodStored : kMethodDeflated);
        put16(common, when.time);
        put16(common, when.date);
        put32(common, crc);
        put32(common, static_cast<std::uint32_t>(packed.size()));
        put32(common, static_cast<std::uint32_t>(m.bytes.size()));
        put16(common, static_cast<std::uint16_t>(m.name.size()));
        put16(common, 0);  // no extra field

        put32(out, kLocalHeaderSignature);
        put16(out, version);
        out += common + m.name + packed;

        put32(directory, kCentralHeaderSignature);
        put16(directory, kVersionDeflated);  // made by: MS-DOS attributes, 2.0
        put16(directory, version);
        directory += common;
        put16(directory, 0);  // no comment
        put16(directory, 0);  // disk 0
        put16(directory, 0);  // internal attributes: none
        put32(directory, 0);  // external attributes: a plain file
        put32(directory, static_cast<std::uint32_t>(offset));
        directory += m.name;
    }
    const std::uint64_t directoryOffset = out.size();
    if (directoryOffset + directory.size() > kMaxField32) return {"", "more than 4 GiB of files"};
    out += directory;
    put32(out, kEndRecordSignature);
    put16(out, 0);  // this disk
    put16(out, 0);  // the disk where the central directory starts
    put16(out, static_cast<std::uint16_t>(members.size()));  // entries on this disk
    put16(out, static_cast<std::uint16_t>(members.size()));  // entries in all
    put32(out, static_cast<std::uint32_t>(directory.size()));
    put32(out, static_cast<std::uint32_t>(directoryOffset));
    put16(out, 0);  // no comment
    return {out, ""};
}

zip::Archive zip::packFolder(const std::filesystem::path& folder, const std::string& top) {
    namespace fs = std::filesystem;
    std::vector<Member> members;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder / top, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        std::ifstream in(it->path(), std::ios::binary);
        if (!in) return {"", "cannot read " + it->path().filename().u8string()};
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        members.push_back({it->path().lexically_relative(folder).generic_u8string(), std::move(bytes)});
    }
    if (ec) return {"", "cannot list the files to pack: " + ec.message()};
    std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.name < b.name; });
    return build(members, dosTime(std::time(nullptr)));
}

bool zip::namesZip(const std::string& target) {
    constexpr const char* kSuffix = ".zip";
    const std::size_t n = std::char_traits<char>::length(kSuffix);
    if (target.size() < n) return false;
    return std::equal(target.end() - static_cast<std::ptrdiff_t>(n), target.end(), kSuffix, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == b;
    });
}
