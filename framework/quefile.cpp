#include "framework/quefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pal/file/path.h"
#include "pal/file/whole_file.h"
#include "pal/windows.h"

namespace {

void Put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// A cursor over the file's bytes that never reads past the end.
class Reader {
public:
    Reader(const void* data, size_t size) : p_(static_cast<const unsigned char*>(data)), size_(size) {}
    size_t Offset() const { return at_; }
    size_t Left() const { return size_ - at_; }
    bool U8(uint32_t& v) {
        if (Left() < 1) return false;
        v = p_[at_++];
        return true;
    }
    bool U16(uint32_t& v) {
        if (Left() < 2) return false;
        v = p_[at_] | (static_cast<uint32_t>(p_[at_ + 1]) << 8);
        at_ += 2;
        return true;
    }
    bool U32(uint32_t& v) {
        uint32_t lo, hi;
        if (Left() < 4 || !U16(lo) || !U16(hi)) return false;
        v = lo | (hi << 16);
        return true;
    }
    const char* Take(size_t n) {
        const char* at = reinterpret_cast<const char*>(p_ + at_);
        at_ += n;
        return at;
    }

private:
    const unsigned char* p_;
    size_t size_;
    size_t at_ = 0;
};

std::string LastErrorText(const char* step, const std::string& path) {
    return std::string(step) + " " + path + " failed (error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

std::string CQueFile::Damage::Describe() const {
    return "offset " + std::to_string(offset) + ", record " + std::to_string(record) + ": " + what;
}

std::string CQueFile::PathOf(const std::string& queDir, const std::string& process, const std::string& queue) {
    return queDir + process + "." + queue + ".jpq";
}

std::string CQueFile::Encode(const std::vector<std::string>& records) {
    size_t total = 6;
    for (const std::string& r : records) total += r.size() + 7;
    std::string out;
    out.reserve(total);
    const uint64_t count = records.size();
    if (count < 0xFFFF) {
        Put16(out, static_cast<uint32_t>(count));
    } else {
        Put16(out, 0xFFFF);
        Put32(out, static_cast<uint32_t>(count));
    }
    for (const std::string& r : records) {
        const size_t n = r.size();
        if (n < 255) {
            out += static_cast<char>(n);
        } else {
            out += '\xFF';
            if (n < 0xFFFE) {
                Put16(out, static_cast<uint32_t>(n));
            } else {
                Put16(out, 0xFFFF);
                Put32(out, static_cast<uint32_t>(n));
            }
        }
        out.append(r);
    }
    return out;
}

CQueFile::Result CQueFile::Decode(const void* data, size_t size, std::vector<std::string>& records, Damage* damage) {
    Reader in(data, size);
    auto damaged = [&](size_t offset, uint64_t index, std::string what) {
        if (damage) {
            damage->offset = offset;
            damage->record = index;
            damage->what = std::move(what);
        }
        return kDamaged;
    };
    uint32_t count = 0;
    if (!in.U16(count)) return damaged(0, 0, "the record count is cut off (file of " + std::to_string(size) + " bytes)");
    if (count == 0xFFFF && !in.U32(count)) return damaged(2, 0, "the long record count is cut off");
    for (uint64_t i = 0; i < count; ++i) {
        const size_t start = in.Offset();
        if (in.Left() == 0)
            return damaged(start, i,
                           "the file ends after " + std::to_string(i) + " of " + std::to_string(count) + " records");
        uint32_t length = 0;
        in.U8(length);
        if (length == 0xFF) {
            if (!in.U16(length)) return damaged(start, i, "the length prefix is cut off");
            if (length == 0xFFFF && !in.U32(length)) return damaged(start, i, "the long length prefix is cut off");
        }
        if (length > kMaxRecord)
            return damaged(start, i,
                           "the record claims " + std::to_string(length) + " characters, more than " +
                               std::to_string(kMaxRecord));
        if (length > in.Left())
            return damaged(start, i,
                           "the record of " + std::to_string(length) + " characters is cut off after " +
                               std::to_string(in.Left()));
        records.emplace_back(in.Take(length), length);
    }
    if (in.Left() != 0)
        return damaged(in.Offset(), count, std::to_string(in.Left()) + " bytes follow the last record");
    return kOk;
}

CQueFile::Result CQueFile::Read(const std::string& path, std::vector<std::string>& records, Damage* damage,
                                std::string* why) {
    std::string bytes, reason;
    const int e = pal::ReadWholeFile(pal::MapPath(path.c_str()), kMaxFileBytes, bytes, reason);
    if (e == ENOENT) return kMissing;
    if (e != 0) {
        if (why) *why = reason;
        return kFailed;
    }
    return Decode(bytes.data(), bytes.size(), records, damage);
}

CQueFile::Result CQueFile::Write(const std::string& path, const std::vector<std::string>& records, std::string* why) {
    const std::string bytes = Encode(records);
    const std::string temp = path + ".tmp";
    HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (why) *why = LastErrorText("creating", temp);
        return kFailed;
    }
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD wrote = 0;
        ok = WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) && wrote > 0;
        if (!ok && why) *why = LastErrorText("writing", temp);
        done += wrote;
    }
    // The data must be on disk before the rename makes it the queue.
    if (ok && !FlushFileBuffers(h)) {
        ok = false;
        if (why) *why = LastErrorText("flushing", temp);
    }
    if (!CloseHandle(h) && ok) {
        ok = false;
        if (why) *why = LastErrorText("closing", temp);
    }
    if (ok && !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        if (why) *why = LastErrorText("renaming over", path);
    }
    if (!ok) {
        DeleteFileA(temp.c_str());
        return kFailed;
    }
    return kOk;
}

CQueFile::Result CQueFile::Append(const std::string& path, const std::string& record, std::string* why) {
    std::vector<std::string> records;
    Damage damage;
    Result r = Read(path, records, &damage, why);
    if (r == kFailed) return kFailed;
    if (r == kDamaged) {
        if (why) *why = path + " is damaged at " + damage.Describe();
        return kDamaged;
    }
    records.push_back(record);
    return Write(path, records, why);
}
