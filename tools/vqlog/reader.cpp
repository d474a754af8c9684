#include "tools/vqlog/reader.h"

#include <algorithm>

#include "pal/windows.h"

namespace vqlog {

namespace {

// Long enough to tell one record from the next, short enough to reread on every poll.
constexpr size_t kSeenBytes = 256;
// Writers hold the mutex for one record; a reader that cannot get it in this time reads
// anyway and relies on the record shapes.
constexpr DWORD kLockWaitMs = 2000;

// The position header: eight digits and CR LF. Anything else means the header is being
// rewritten after a clear, and the data behind it is all there is.
bool HeaderPosition(const std::string& header, size_t& pos) {
    if (header.size() != kFirstRecord || header[8] != '\r' || header[9] != '\n') return false;
    pos = 0;
    for (size_t i = 0; i < 8; ++i) {
        if (header[i] < '0' || header[i] > '9') return false;
        pos = pos * 10 + static_cast<size_t>(header[i] - '0');
    }
    return true;
}

}  // namespace

RingReader::RingReader(Kind kind, HANDLE file, std::string mutexName)
    : kind_(kind), file_(file), mutexName_(std::move(mutexName)) {}

RingReader::~RingReader() {
    if (mutex_) CloseHandle(mutex_);
}

bool RingReader::Lock() {
    if (!mutex_ && !mutexName_.empty()) mutex_ = OpenMutexA(SYNCHRONIZE, FALSE, mutexName_.c_str());
    if (!mutex_) return false;
    DWORD r = WaitForSingleObject(mutex_, kLockWaitMs);
    locked_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0;
    return locked_;
}

void RingReader::Unlock() {
    if (locked_) ReleaseMutex(mutex_);
    locked_ = false;
}

bool RingReader::ReadAt(uint64_t offset, size_t size, std::string& bytes, DWORD& error) {
    bytes.assign(size, '\0');
    size_t got = 0;
    while (got < size) {
        OVERLAPPED at{};
        uint64_t where = offset + got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD n = 0;
        if (!ReadFile(file_, bytes.data() + got, static_cast<DWORD>(size - got), &n, &at)) {
            DWORD e = GetLastError();
            if (e != ERROR_HANDLE_EOF) {
                error = e;
                return false;
            }
        }
        if (n == 0) break;  // the file shrank under us
        got += n;
    }
    bytes.resize(got);
    return true;
}

bool RingReader::ReadAll(std::vector<Record>& out, DWORD& error) { return Read(true, out, error); }

bool RingReader::ReadNew(std::vector<Record>& out, DWORD& error) { return Read(false, out, error); }

bool RingReader::Read(bool whole, std::vector<Record>& out, DWORD& error) {
    Lock();
    struct Release {
        RingReader* r;
        ~Release() { r->Unlock(); }
    } release{this};

    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file_, &length)) {
        error = GetLastError();
        return false;
    }
    const size_t size = static_cast<size_t>(length.QuadPart);
    if (size == 0) {
        // Renamed/cleared: the writers start again behind a new header.
        if (!emptied_) {
            resume_ = kFirstRecord;
            seen_.clear();
            emptied_ = true;
        }
        return true;
    }
    if (size < kFirstRecord) return true;

    std::string header;
    if (!ReadAt(0, kFirstRecord, header, error)) return false;
    size_t pos = 0;
    pos = HeaderPosition(header, pos) ? std::clamp(pos, kFirstRecord, size) : size;

    // The bytes just before resume_ still being what was read last time says the writers
    // have not come round to it (nor was the file cleared and refilled) since.
    bool rewritten = false;
    if (!whole && !seen_.empty()) {
        std::string now;
        if (!ReadAt(resume_ - seen_.size(), seen_.size(), now, error)) return false;
        rewritten = now != seen_;
    }

    std::vector<Region> regions;
    auto add = [&](size_t begin, size_t end) {
        if (end <= begin) return true;
        Region r;
        r.begin = begin;
        if (!ReadAt(begin, end - begin, r.bytes, error)) return false;
        regions.push_back(std::move(r));
        return true;
    };
    bool ok = true;
    if (whole || (rewritten && pos >= resume_)) {
        // The whole ring: from the position to the end are the older records.
        ok = add(pos, size) && add(kFirstRecord, pos);
    } else if (pos < resume_) {
        // Wrapped once since the last read: our remainder of the old pass, then the new.
        ok = add(resume_, size) && add(kFirstRecord, pos);
    } else if (pos > resume_) {
        ok = add(resume_, pos);
    } else {
        return true;
    }
    if (!ok) return false;

    ScanResult found = Scan(kind_, regions);
    resume_ = regions.empty() ? pos : found.resume;
    for (auto& r : found.records) out.push_back(std::move(r));
    emptied_ = false;
    size_t keep = std::min(kSeenBytes, resume_ - kFirstRecord);
    return ReadAt(resume_ - keep, keep, seen_, error);
}

}  // namespace vqlog
