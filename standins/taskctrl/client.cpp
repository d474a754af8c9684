#include "standins/taskctrl/client.h"

#include <chrono>

#include "pal/pipe/pipe.h"
#include "pal/windows.h"
#include "standins/taskctrl/controller.h"

namespace taskctrl {

namespace {

constexpr DWORD kSplitPauseMs = 50;

std::string ErrorClause(DWORD error) {
    switch (error) {
    case ERROR_BROKEN_PIPE: return "109: the client closed its end";
    case ERROR_PIPE_NOT_CONNECTED: return "233: the pipe is not connected";
    case ERROR_NO_DATA: return "232: the pipe is being closed";
    default: return std::to_string(error);
    }
}

}  // namespace

Client::Client(Controller& owner, HANDLE pipe, unsigned id, size_t queueLimit, unsigned long queueWaitMs, HANDLE stop)
    : owner_(owner), pipe_(pipe), id_(id), queueLimit_(queueLimit), queueWaitMs_(queueWaitMs), stop_(stop) {
    drop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    queueEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Client::~Client() {
    Join();
    for (HANDLE h : {drop_, wake_, queueEvent_, readEvent_, writeEvent_})
        if (h != nullptr) CloseHandle(h);
}

bool Client::Start() {
    if (!drop_ || !wake_ || !queueEvent_ || !readEvent_ || !writeEvent_) return false;
    writer_ = std::thread([this] { WriteLoop(); });
    reader_ = std::thread([this] { ReadLoop(); });
    return true;
}

void Client::Drop() { SetEvent(drop_); }

void Client::Join() {
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
    // Closed, not disconnected: the client's next read then fails with 109, the broken
    // connection the framework reconnects after.
    if (pipe_ != nullptr && pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = nullptr;
}

std::string Client::Label() const {
    std::lock_guard<std::mutex> lock(mu_);
    return (known_ ? who_.process : std::string()) + "#" + std::to_string(id_);
}

void Client::Learn(const CJobPipeData& r) {
    std::lock_guard<std::mutex> lock(mu_);
    who_.net = r.GetSrcNetworkId();
    who_.pc = r.GetSrcPcName();
    who_.process = r.GetSrcProcessName();
    known_ = true;
}

bool Client::Matches(const CJobPipeData& r) const {
    // The binary mirror holds the names already stripped of their trailing blanks.
    const char* process = r.GetDstProcessName();
    const char* pc = r.GetDstPcName();
    const char* net = r.GetDstNetworkId();
    std::lock_guard<std::mutex> lock(mu_);
    return (!*process || who_.process == process) && (!*pc || who_.pc == pc) && (!*net || who_.net == net);
}

bool Client::HasProcess(const std::string& process) const {
    std::lock_guard<std::mutex> lock(mu_);
    return known_ && who_.process == process;
}

void Client::MarkStopping() {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
}

ClientInfo Client::Info() const {
    std::lock_guard<std::mutex> lock(mu_);
    ClientInfo i;
    i.id = id_;
    i.who = who_;
    i.in = in_;
    i.out = out_;
    i.queued = queue_.size();
    i.stalled = stalled_;
    i.stopping = stopping_;
    return i;
}

void Client::SetStall(bool on) {
    std::unique_lock<std::mutex> lock(mu_);
    stalled_ = on;
    uint64_t request = on ? ++stallRequest_ : 0;
    SetEvent(wake_);
    if (on) parked_.wait_for(lock, std::chrono::seconds(5), [&] { return stallAck_ >= request || readerDone_; });
}

void Client::SetSplit(int pieces, int records) {
    std::lock_guard<std::mutex> lock(mu_);
    split_.pieces = pieces;
    split_.records = pieces > 1 ? records : 0;
}

Client::Queued Client::Enqueue(SharedRecord record) {
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(mu_);
        // A full queue holds the sender back for a while (its writes wait in its pipe)
        // before anything is dropped: a burst is slowed down, not lost.
        room_.wait_for(lock, std::chrono::milliseconds(queueWaitMs_),
                       [&] { return closed_ || queue_.size() < queueLimit_; });
        if (closed_) return Queued::Closed;
        if (queue_.size() >= queueLimit_) return Queued::Full;
        wake = queue_.empty();
        queue_.push_back(std::move(record));
    }
    // The writer drains the queue before it waits again (it takes the last record off
    // only after writing it), so only the first record of a batch needs to wake it.
    if (wake) SetEvent(queueEvent_);
    return Queued::Yes;
}

bool Client::Pause(DWORD ms) {
    HANDLE waits[] = {stop_, drop_};
    return WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_TIMEOUT;
}

// Reads whatever the pipe gives (a read may end inside a record) and hands on each record
// once its 4096 bytes are together. Stalled, it keeps no read pending, so the client's
// writes stay in its pipe.
void Client::ReadLoop() {
    RecordBytes buffer;
    size_t have = 0;
    bool pending = false;
    OVERLAPPED ov = {};
    ov.hEvent = readEvent_;
    std::string why;
    auto take = [&](DWORD n) {
        have += n;
        if (have == buffer.size()) {
            owner_.OnRecord(*this, buffer);
            have = 0;
        }
    };
    for (;;) {
        if (stalled_ && !pending) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                stallAck_ = stallRequest_;
            }
            parked_.notify_all();
            HANDLE waits[] = {stop_, drop_, wake_};
            DWORD w = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
            if (w == WAIT_OBJECT_0 + 2) continue;
            why = w == WAIT_OBJECT_0 ? "the controller stops" : "dropped by the disconnect control";
            break;
        }
        if (!pending) {
            ResetEvent(readEvent_);
            DWORD n = 0;
            if (ReadFile(pipe_, buffer.data() + have, static_cast<DWORD>(buffer.size() - have), nullptr, &ov)) {
                if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) {
                    why = ErrorClause(GetLastError());
                    break;
                }
                take(n);
                continue;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                why = ErrorClause(error);
                break;
            }
            pending = true;
        }
        HANDLE waits[] = {stop_, drop_, readEvent_, wake_};
        DWORD w = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0 + 2) {
            pending = false;
            DWORD n = 0;
            if (!GetOverlappedResult(pipe_, &ov, &n, FALSE)) {
                why = ErrorClause(GetLastError());
                break;
            }
            take(n);
        } else if (w == WAIT_OBJECT_0 + 3) {
            if (!stalled_) continue;
            // The read may have taken bytes before the cancel reached it: keep them.
            CancelIoEx(pipe_, &ov);
            DWORD n = 0;
            BOOL ok = GetOverlappedResult(pipe_, &ov, &n, TRUE);
            DWORD error = ok ? 0 : GetLastError();
            pending = false;
            if (ok) {
                take(n);
            } else if (error != ERROR_OPERATION_ABORTED) {
                why = ErrorClause(error);
                break;
            }
        } else {
            why = w == WAIT_OBJECT_0 ? "the controller stops" : "dropped by the disconnect control";
            break;
        }
    }
    if (pending) {
        // Nothing may land in the buffer after this function has returned.
        CancelIoEx(pipe_, &ov);
        DWORD n = 0;
        GetOverlappedResult(pipe_, &ov, &n, TRUE);
    }
    if (have > 0) why += "; a partial record of " + std::to_string(have) + " bytes was discarded";
    {
        std::lock_guard<std::mutex> lock(mu_);
        readerDone_ = true;
    }
    parked_.notify_all();
    // The writer must not wait for records nobody will deliver.
    SetEvent(drop_);
    owner_.Retire(*this, why);
}

bool Client::WriteRecord(const RecordBytes& record, int pieces, OVERLAPPED& ov) {
    size_t offset = 0;
    for (int i = 0; i < pieces; ++i) {
        size_t length = (record.size() - offset) / static_cast<size_t>(pieces - i);
        if (i > 0 && !Pause(kSplitPauseMs)) return false;
        while (length > 0) {
            ResetEvent(writeEvent_);
            if (!WriteFile(pipe_, record.data() + offset, static_cast<DWORD>(length), nullptr, &ov)) {
                if (GetLastError() != ERROR_IO_PENDING) return false;
                HANDLE waits[] = {stop_, drop_, writeEvent_};
                if (WaitForMultipleObjects(3, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 2) {
                    // The record stays alive in the caller until the write has let go of it.
                    CancelIoEx(pipe_, &ov);
                    DWORD n = 0;
                    GetOverlappedResult(pipe_, &ov, &n, TRUE);
                    return false;
                }
            }
            DWORD n = 0;
            if (!GetOverlappedResult(pipe_, &ov, &n, FALSE) || n == 0) return false;
            offset += n;
            length -= n;
        }
    }
    return true;
}

void Client::WriteLoop() {
    OVERLAPPED ov = {};
    ov.hEvent = writeEvent_;
    bool running = true;
    while (running) {
        HANDLE waits[] = {stop_, drop_, queueEvent_};
        if (WaitForMultipleObjects(3, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 2) break;
        for (;;) {
            SharedRecord record;
            int pieces = 1;
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (queue_.empty()) break;
                record = queue_.front();
                if (split_.records > 0) {
                    pieces = split_.pieces;
                    --split_.records;
                }
            }
            if (!WriteRecord(*record, pieces, ov)) {
                running = false;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mu_);
                queue_.pop_front();
            }
            room_.notify_all();
            ++out_;
        }
    }
    std::deque<SharedRecord> left;
    {
        std::lock_guard<std::mutex> lock(mu_);
        closed_ = true;
        left.swap(queue_);
    }
    room_.notify_all();
    // A failed write means the client has gone: the reader ends with it.
    SetEvent(drop_);
    for (const SharedRecord& r : left) owner_.NoteDropped(*this, *r, "not delivered: the connection ended");
}

}  // namespace taskctrl
