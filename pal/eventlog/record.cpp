#include "pal/eventlog/record.h"

#include <cstring>

namespace pal::eventlog {

namespace {

size_t Align4(size_t n) { return (n + 3) & ~size_t{3}; }

std::string_view UpToNul(std::string_view s) {
    auto nul = s.find('\0');
    return nul == std::string_view::npos ? s : s.substr(0, nul);
}

void PutDword(std::vector<uint8_t>& out, size_t at, DWORD v) { std::memcpy(out.data() + at, &v, sizeof v); }

bool Fail(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

// The NUL-terminated text starting at [at, end); false when no NUL comes before end.
bool TextAt(const uint8_t* base, size_t at, size_t end, std::string_view& text) {
    if (at >= end) return false;
    const void* nul = std::memchr(base + at, 0, end - at);
    if (!nul) return false;
    text = std::string_view(reinterpret_cast<const char*>(base + at),
                            static_cast<size_t>(static_cast<const uint8_t*>(nul) - (base + at)));
    return true;
}

}  // namespace

size_t RecordLength(const RecordFields& f) {
    size_t n = kHeaderSize + UpToNul(f.source).size() + 1 + UpToNul(f.computer).size() + 1;
    n = Align4(n) + f.sidLength;
    for (auto s : f.strings) n += UpToNul(s).size() + 1;
    return Align4(n + f.dataLength) + sizeof(DWORD);
}

std::vector<uint8_t> BuildRecord(const RecordFields& f) {
    const size_t length = RecordLength(f);
    std::vector<uint8_t> out(length, 0);
    size_t at = kHeaderSize;
    auto put = [&](const void* p, size_t n) {
        if (n) std::memcpy(out.data() + at, p, n);
        at += n;
    };
    auto putText = [&](std::string_view s) {
        s = UpToNul(s);
        put(s.data(), s.size());
        ++at;  // the NUL, already zero
    };
    putText(f.source);
    putText(f.computer);
    at = Align4(at);
    const size_t sidOffset = at;
    put(f.sid, f.sidLength);
    const size_t stringOffset = at;
    for (auto s : f.strings) putText(s);
    const size_t dataOffset = at;
    put(f.data, f.dataLength);

    EVENTLOGRECORD h{};
    h.Length = static_cast<DWORD>(length);
    h.Reserved = ELF_LOG_SIGNATURE;
    h.RecordNumber = f.recordNumber;
    h.TimeGenerated = f.timeGenerated;
    h.TimeWritten = f.timeWritten;
    h.EventID = f.eventId;
    h.EventType = f.eventType;
    h.NumStrings = static_cast<WORD>(f.strings.size());
    h.EventCategory = f.category;
    h.StringOffset = static_cast<DWORD>(stringOffset);
    h.UserSidLength = f.sidLength;
    h.UserSidOffset = static_cast<DWORD>(sidOffset);
    h.DataLength = f.dataLength;
    h.DataOffset = static_cast<DWORD>(dataOffset);
    std::memcpy(out.data(), &h, sizeof h);
    PutDword(out, length - sizeof(DWORD), h.Length);
    return out;
}

bool ParseRecord(const void* buffer, size_t size, RecordView& out, std::string* why) {
    out = RecordView{};
    if (!buffer || size < kHeaderSize) return Fail(why, "shorter than the 56-byte header");
    const auto* base = static_cast<const uint8_t*>(buffer);
    std::memcpy(&out.header, base, kHeaderSize);
    const EVENTLOGRECORD& h = out.header;
    if (h.Reserved != ELF_LOG_SIGNATURE) return Fail(why, "no LfLe signature");
    if (h.Length < kMinRecordSize || h.Length % 4 != 0) return Fail(why, "bad length");
    if (h.Length > size) return Fail(why, "length runs past the buffer");
    const size_t end = h.Length - sizeof(DWORD);  // where the trailing length starts
    DWORD trailer = 0;
    std::memcpy(&trailer, base + end, sizeof trailer);
    if (trailer != h.Length) return Fail(why, "trailing length differs");

    if (!TextAt(base, kHeaderSize, end, out.source)) return Fail(why, "source name not terminated");
    if (!TextAt(base, kHeaderSize + out.source.size() + 1, end, out.computer))
        return Fail(why, "computer name not terminated");

    // Each area must lie inside the body; lengths are checked against what is left rather
    // than added to offsets, so huge values cannot wrap.
    auto inside = [&](DWORD offset, DWORD length) { return offset <= end && length <= end - offset; };
    if (!inside(h.UserSidOffset, h.UserSidLength)) return Fail(why, "SID outside the record");
    if (h.UserSidLength) {
        if (h.UserSidLength < 8 || SidLengthOf(base + h.UserSidOffset) != h.UserSidLength)
            return Fail(why, "malformed SID");
        out.sid = base + h.UserSidOffset;
        out.sidLength = h.UserSidLength;
    }
    if (!inside(h.DataOffset, h.DataLength)) return Fail(why, "data outside the record");
    out.data = h.DataLength ? base + h.DataOffset : nullptr;
    out.dataLength = h.DataLength;

    if (h.NumStrings && h.StringOffset > end) return Fail(why, "strings outside the record");
    size_t at = h.StringOffset;
    out.strings.reserve(h.NumStrings < 64 ? h.NumStrings : 64);
    for (unsigned i = 0; i < h.NumStrings; ++i) {
        std::string_view s;
        if (!TextAt(base, at, end, s)) return Fail(why, "insertion string not terminated");
        out.strings.push_back(s);
        at += s.size() + 1;
    }
    return true;
}

bool ParseRecords(const void* buffer, size_t size, std::vector<RecordView>& out, std::string* why) {
    out.clear();
    const auto* p = static_cast<const uint8_t*>(buffer);
    size_t left = buffer ? size : 0;
    while (left) {
        RecordView r;
        if (!ParseRecord(p, left, r, why)) return false;
        out.push_back(std::move(r));
        p += out.back().header.Length;
        left -= out.back().header.Length;
    }
    return true;
}

DWORD SidLengthOf(const void* sid) {
    if (!sid) return 0;
    const auto* b = static_cast<const uint8_t*>(sid);
    if (b[0] != 1 || b[1] > 15) return 0;
    return 8u + 4u * b[1];
}

std::string SidToString(const uint8_t* sid, size_t sidLength) {
    if (!sid || sidLength < 8 || SidLengthOf(sid) != sidLength) return "";
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
    std::string s = "S-1-" + std::to_string(authority);
    for (unsigned i = 0; i < sid[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, sid + 8 + 4 * i, sizeof sub);
        s += "-" + std::to_string(sub);
    }
    return s;
}

}  // namespace pal::eventlog
