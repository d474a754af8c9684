#include "pal/eventlog/backup_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pal/eventlog/backup.h"
#include "pal/eventlog/eventlog.h"
#include "pal/eventlog/record.h"

namespace pal::eventlog {

namespace {

constexpr DWORD kEofMarks[] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};

std::string Hex(size_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%zX", v);
    return buf;
}

DWORD DwordAt(const uint8_t* p) {
    DWORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The records lie in a ring: from the start offset to the file's end, then on from the
// first byte after the header. A log that never wrapped simply does not reach the end.
class Ring {
public:
    Ring(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // n bytes from offset p on, wrapping at the file's end; the caller has checked that
    // they lie before the end offset.
    void Copy(size_t p, size_t n, uint8_t* dst) const {
        while (n) {
            const size_t chunk = std::min(n, size_ - p);
            std::memcpy(dst, data_ + p, chunk);
            dst += chunk;
            n -= chunk;
            p = Advance(p, chunk);
        }
    }
    size_t Advance(size_t p, size_t n) const {
        p += n;
        return p >= size_ ? kBackupHeaderSize + (p - size_) : p;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace

BackupContents ReadBackup(const uint8_t* data, size_t size) {
    BackupContents out;
    auto stop = [&out](size_t offset, std::string why) {
        out.damaged = true;
        out.damageOffset = offset;
        out.damage = std::move(why);
        return out;
    };
    if (!data || size < kBackupHeaderSize)
        return stop(0, "the header is incomplete (the file has " + std::to_string(size) + " bytes)");
    DWORD h[12];
    std::memcpy(h, data, sizeof h);
    if (h[0] != kBackupHeaderSize || h[1] != ELF_LOG_SIGNATURE || h[11] != kBackupHeaderSize)
        return stop(0, "the header is not that of an event-log backup");
    const size_t start = h[4], end = h[5];
    out.nextNumber = h[6];
    out.oldestNumber = h[7];
    out.maxSize = h[8];
    out.wrapped = end < start;
    if (start < kBackupHeaderSize || end < kBackupHeaderSize)
        return stop(16, "the header's offsets (start " + Hex(start) + ", end " + Hex(end) + ") point into the header");
    if (start > size)
        return stop(size, "the file ends at " + Hex(size) + ", before its first record at " + Hex(start));
    if (out.wrapped && (start >= size || end > size))
        return stop(16, "the header's offsets (start " + Hex(start) + ", end " + Hex(end) +
                            ") do not fit a file of " + std::to_string(size) + " bytes");

    const Ring ring(data, size);
    size_t p = start;
    bool inTail = out.wrapped;  // between the start offset and the file's end
    auto left = [&]() -> size_t { return inTail ? (size - p) + (end - kBackupHeaderSize) : end - p; };
    for (;;) {
        if (!inTail && p == end) break;
        const std::string which = "record " + std::to_string(out.records.size() + 1) + " of the file";
        const bool cut = !out.wrapped && end > size;  // the file ends before its end offset
        if (left() < kMinRecordSize || (cut && size - p < sizeof(DWORD))) {
            if (cut) return stop(p, "the file ends before " + which + " is complete");
            return stop(p, "only " + std::to_string(left()) + " bytes are left before the end offset for " + which);
        }
        uint8_t lengthBytes[4];
        ring.Copy(p, 4, lengthBytes);
        const DWORD length = DwordAt(lengthBytes);
        if (length < kMinRecordSize || length % 4 != 0 || length > kMaxReadSize)
            return stop(p, which + " has an impossible length (" + Hex(length) + ")");
        if (cut && length > size - p) return stop(p, "the file ends before " + which + " is complete");
        if (length > left()) return stop(p, which + " runs past the end offset " + Hex(end));
        std::vector<uint8_t> image(length);
        ring.Copy(p, length, image.data());
        RecordView view;
        std::string why;
        if (!ParseRecord(image.data(), image.size(), view, &why)) return stop(p, which + " is malformed: " + why);
        out.records.push_back(std::move(image));
        if (!out.wrapped) {
            p += length;  // a log that never wrapped ends at its end offset, not at the file's end
        } else {
            if (inTail && p + length >= size) inTail = false;
            p = ring.Advance(p, length);
        }
    }

    // The end-of-file record closes a whole backup; without it the file may be cut. It
    // lies in the gap before the oldest record (a wrapped log) or before the file's end.
    const size_t room = out.wrapped ? start : size;
    if (end + kBackupEofSize > room)
        return stop(end, "the end-of-file record is missing (the file ends at " + Hex(size) + ")");
    const uint8_t* eof = data + end;
    bool eofOk = DwordAt(eof) == kBackupEofSize && DwordAt(eof + kBackupEofSize - 4) == kBackupEofSize;
    for (int i = 0; i < 4; ++i) eofOk = eofOk && DwordAt(eof + 4 + 4 * i) == kEofMarks[i];
    if (!eofOk) return stop(end, "there is no end-of-file record at the end offset " + Hex(end));
    return out;
}

}  // namespace pal::eventlog
