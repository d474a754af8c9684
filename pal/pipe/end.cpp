#include "pal/pipe/end.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pal/core/region.h"
#include "pal/error/error.h"
#include "pal/file/io_object.h"
#include "pal/pipe/pipe.h"
#include "pal/pipe/server.h"
#include "pal/pipe/wire.h"
#include "pal/sync/sync_object.h"

namespace pal::pipe {

namespace {

// Received bytes kept beyond what pending reads ask for; the rest waits in the socket,
// so a writer whose reader does not read stays pending.
constexpr size_t kRxLimit = 64 * 1024;
constexpr size_t kRxMessages = 1024;  // also bounds a flood of empty messages

// The event object of ov, referenced for the operation's life as the kernel does, so the
// completion never reads the caller's OVERLAPPED or handle after it has finished.
std::shared_ptr<SyncObject> EventOf(const OVERLAPPED* ov) {
    // The low bit of hEvent only asks to skip completion-port notification.
    HANDLE h = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~uintptr_t{1});
    if (!h) return nullptr;
    const DWORD saved = GetLastError();
    auto event = LookupHandleAs<SyncObject>(h);
    SetLastError(saved);
    return event && event->type() == core::ObjType::Event ? event : nullptr;
}

// Completes ov: the count, then the status word (released, so whoever sees it sees the
// count), then the event. After the status store ov is the caller's again.
void Post(OVERLAPPED* ov, const std::shared_ptr<SyncObject>& event, DWORD error, DWORD bytes) {
    OVERLAPPED status{};
    CompleteOverlapped(&status, error, bytes);  // the status encoding every completion uses
    ov->InternalHigh = bytes;
    __atomic_store_n(&ov->Internal, status.Internal, __ATOMIC_RELEASE);
    if (event) core::SetEventState(event->index(), true);
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

DWORD SendError(int err) {
    // The reader has gone: Windows says "the pipe is being closed".
    if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) return ERROR_NO_DATA;
    return ErrorFromErrno(err);
}

}  // namespace

std::shared_ptr<End> End::NewClient(int fd, const EndConfig& config) {
    std::shared_ptr<End> end(new End(config));
    std::lock_guard<std::mutex> lock(end->mutex_);
    end->state_ = State::kConnected;
    end->fd_ = fd;
    if (!end->watch_.Add(fd, end)) {
        end->fd_ = -1;
        return nullptr;
    }
    return end;
}

std::shared_ptr<End> End::NewInstance(std::shared_ptr<Server> server, const EndConfig& config) {
    std::shared_ptr<End> end(new End(config));
    end->state_ = State::kListening;
    end->server_ = std::move(server);
    return end;
}

End::~End() {
    watch_.Remove();
    if (fd_ >= 0) close(fd_);
}

DWORD End::StateError() const {
    switch (state_) {
    case State::kListening: return ERROR_PIPE_LISTENING;
    case State::kDisconnected: return ERROR_PIPE_NOT_CONNECTED;
    case State::kClosed: return ERROR_INVALID_HANDLE;
    case State::kConnected: break;
    }
    return disconnected_ ? ERROR_PIPE_NOT_CONNECTED : 0;
}

void End::Finish(Op& op, DWORD error, DWORD bytes) {
    if (op.done) return;
    op.done = true;
    op.error = error;
    op.bytes = bytes;
    if (op.ov) Post(op.ov, op.event, error, bytes);
    op.ov = nullptr;  // from here on nothing refers to the caller's memory
    op.buffer = nullptr;
    op.event.reset();
    cv_.notify_all();
}

BOOL End::WaitFor(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Op>& op, DWORD* done) {
    cv_.wait(lock, [&] { return op->done; });
    if (done) *done = op->bytes;
    if (op->error) return Fail(op->error);
    return TRUE;
}

void End::Rearm() {
    if (fd_ < 0) return;
    uint32_t events = 0;
    if (!reads_.empty() && !eof_ && !disconnected_) events |= EPOLLIN | EPOLLRDHUP;
    if (!writes_.empty()) events |= EPOLLOUT;
    watch_.Arm(events);
}

void End::OnEvents(uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kConnected || fd_ < 0) return;
    if (!reads_.empty()) {
        Pump();
        ServeReads();
    }
    if (!writes_.empty()) PushWrites();
    Rearm();
}

// ---- receiving ----

void End::ResetStream() {
    rx_.clear();
    rxBytes_ = 0;
    headerHave_ = 0;
    frameLeft_ = 0;
    eof_ = false;
    disconnected_ = false;
}

void End::Parse(const char* data, size_t n) {
    while (n > 0) {
        if (headerHave_ < sizeof header_) {
            const size_t take = std::min(n, sizeof header_ - headerHave_);
            std::memcpy(header_ + headerHave_, data, take);
            headerHave_ += take;
            data += take;
            n -= take;
            if (headerHave_ < sizeof header_) return;
            wire::FrameHeader h;
            std::memcpy(&h, header_, sizeof h);
            if (h.kind == wire::kDisconnect) {
                // Unread data goes with the connection, as on Windows.
                disconnected_ = true;
                rx_.clear();
                rxBytes_ = 0;
                return;
            }
            if (h.kind != wire::kData) {
                eof_ = true;  // not our protocol: treat as a broken connection
                return;
            }
            if (h.length == 0) {
                headerHave_ = 0;
                if (cfg_.messageType) rx_.push_back(Msg{});  // an empty message is a message
                continue;
            }
            rx_.push_back(Msg{h.length, 0, {}, 0});
            frameLeft_ = h.length;
            continue;
        }
        const size_t take = std::min<size_t>(n, frameLeft_);
        Msg& m = rx_.back();
        m.buf.append(data, take);
        m.arrived += static_cast<uint32_t>(take);
        rxBytes_ += take;
        frameLeft_ -= static_cast<uint32_t>(take);
        data += take;
        n -= take;
        if (frameLeft_ == 0) headerHave_ = 0;
    }
}

void End::Pump() {
    if (fd_ < 0 || eof_ || disconnected_) return;
    char chunk[16384];
    while ((rxBytes_ < kRxLimit && rx_.size() < kRxMessages) || (!reads_.empty() && !Servable(reads_.front()->size))) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            Parse(chunk, static_cast<size_t>(n));
            if (eof_ || disconnected_) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        eof_ = true;  // end of stream, or the connection was reset
        return;
    }
}

bool End::Servable(DWORD size) const {
    if (!cfg_.messageRead) {
        return size == 0 || rxBytes_ > 0;
    }
    if (rx_.empty()) return false;
    const Msg& m = rx_.front();
    return m.Left() <= size ? m.Complete() : m.Avail() >= size;
}

End::Serve End::TryServe(char* buffer, DWORD size, DWORD& error, DWORD& bytes) {
    error = 0;
    bytes = 0;
    auto take = [&](Msg& m, size_t k) {
        if (k == 0) return;  // a zero-byte read may come with a null buffer
        std::memcpy(buffer + bytes, m.buf.data() + m.off, k);
        m.off += k;
        rxBytes_ -= k;
        bytes += static_cast<DWORD>(k);
        if (m.off == m.buf.size()) {
            m.buf.clear();
            m.off = 0;
        }
    };
    if (!cfg_.messageRead) {
        // Byte read mode: whatever has arrived, across message boundaries.
        if (size == 0) return Serve::kDone;
        while (bytes < size && !rx_.empty()) {
            Msg& m = rx_.front();
            take(m, std::min<size_t>(size - bytes, m.Avail()));
            if (m.Avail() > 0) break;
            if (!m.Complete()) break;  // the frame still arriving stays the parser's
            rx_.pop_front();
        }
        return bytes > 0 ? Serve::kDone : Serve::kWait;
    }
    if (rx_.empty()) return Serve::kWait;
    Msg& m = rx_.front();
    if (m.Left() <= size) {
        if (!m.Complete()) return Serve::kWait;
        take(m, m.Avail());
        rx_.pop_front();
        return Serve::kDone;
    }
    // The message is longer than the buffer: its first part now, the rest to the next reads.
    if (m.Avail() < size) return Serve::kWait;
    take(m, size);
    error = ERROR_MORE_DATA;
    return Serve::kDone;
}

void End::ServeReads() {
    while (!reads_.empty()) {
        std::shared_ptr<Op> op = reads_.front();
        DWORD error, bytes;
        if (TryServe(op->buffer, op->size, error, bytes) == Serve::kWait) {
            if (disconnected_)
                FailReads(ERROR_PIPE_NOT_CONNECTED);
            else if (eof_ || fd_ < 0)
                FailReads(ERROR_BROKEN_PIPE);
            return;
        }
        reads_.pop_front();
        Finish(*op, error, bytes);
    }
}

void End::FailReads(DWORD error) {
    auto reads = std::move(reads_);
    reads_.clear();
    for (auto& op : reads) Finish(*op, error, 0);
}

// ---- sending ----

void End::PushWrites() {
    while (!writes_.empty() && fd_ >= 0) {
        Op& op = *writes_.front();
        const ssize_t n = send(fd_, op.out.data() + op.sent, op.out.size() - op.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            FailWrites(SendError(errno));
            return;
        }
        op.sent += static_cast<size_t>(n);
        op.started = true;
        if (op.sent == op.out.size()) {
            std::shared_ptr<Op> finished = writes_.front();
            writes_.pop_front();
            Finish(*finished, 0, finished->size);
        }
    }
}

void End::FailWrites(DWORD error) {
    auto writes = std::move(writes_);
    writes_.clear();
    for (auto& op : writes) Finish(*op, error, 0);
}

// ---- operations ----

BOOL End::Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cfg_.canRead) return Fail(ERROR_ACCESS_DENIED);
    if (DWORD e = StateError()) return Fail(e);
    auto op = std::make_shared<Op>();
    op->kind = Op::kRead;
    op->ov = ov;
    op->buffer = static_cast<char*>(buffer);
    op->size = size;
    if (ov) {
        StartOverlapped(ov);
        op->event = EventOf(ov);
    }
    reads_.push_back(op);
    if (reads_.size() == 1) {
        // Nothing queued ahead: what has arrived (or arrives now) answers at once.
        Pump();
        ServeReads();
    }
    if (!op->done) {
        Rearm();
        if (cfg_.overlapped && ov) return Fail(ERROR_IO_PENDING);
    }
    return WaitFor(lock, op, done);
}

BOOL End::Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cfg_.canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (DWORD e = StateError()) return Fail(e);
    if (eof_) return Fail(ERROR_NO_DATA);
    if (fd_ < 0) return Fail(ERROR_PIPE_NOT_CONNECTED);
    auto op = std::make_shared<Op>();
    op->kind = Op::kWrite;
    op->ov = ov;
    op->size = size;
    if (ov) {
        StartOverlapped(ov);
        op->event = EventOf(ov);
    }
    if (size == 0 && !cfg_.messageType) {
        Finish(*op, 0, 0);  // nothing to send on a byte stream
        return WaitFor(lock, op, done);
    }
    const wire::FrameHeader header{size, wire::kData};
    const char* head = reinterpret_cast<const char*>(&header);
    const char* data = static_cast<const char*>(buffer);
    if (writes_.empty()) {
        // Nothing queued ahead: try the whole frame straight from the caller's buffer.
        iovec iov[2] = {{const_cast<char*>(head), sizeof header}, {const_cast<char*>(data), size}};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size ? 2 : 1;
        ssize_t n;
        do {
            n = sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Finish(*op, SendError(errno), 0);
            return WaitFor(lock, op, done);
        }
        const size_t sent = n < 0 ? 0 : static_cast<size_t>(n);
        if (sent == sizeof header + size) {
            Finish(*op, 0, size);
            return WaitFor(lock, op, done);
        }
        // The rest goes before any later write's bytes.
        op->started = sent > 0;
        if (sent < sizeof header) {
            op->out.assign(head + sent, sizeof header - sent);
            op->out.append(data, size);
        } else {
            op->out.assign(data + (sent - sizeof header), size - (sent - sizeof header));
        }
    } else {
        op->out.reserve(sizeof header + size);
        op->out.assign(head, sizeof header);
        op->out.append(data, size);
    }
    writes_.push_back(op);
    Rearm();
    if (cfg_.overlapped && ov) return Fail(ERROR_IO_PENDING);
    return WaitFor(lock, op, done);
}

bool End::PeerGone() {
    if (eof_) return true;
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

BOOL End::Connect(OVERLAPPED* ov) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cfg_.server) return Fail(ERROR_INVALID_FUNCTION);
    switch (state_) {
    case State::kClosed: return Fail(ERROR_INVALID_HANDLE);
    case State::kConnected: return Fail(PeerGone() ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED);
    case State::kDisconnected: state_ = State::kListening; break;
    case State::kListening: break;
    }
    if (connect_) return Fail(ERROR_PIPE_LISTENING);  // one wait at a time
    auto op = std::make_shared<Op>();
    op->kind = Op::kConnect;
    op->ov = ov;
    if (ov) {
        StartOverlapped(ov);
        op->event = EventOf(ov);
    }
    connect_ = op;
    if (cfg_.overlapped && ov) return Fail(ERROR_IO_PENDING);
    return WaitFor(lock, op, nullptr);
}

void End::TakeConnection(Watch& watch, int& fd) {
    watch = std::move(watch_);
    fd = fd_;
    fd_ = -1;
    cv_.notify_all();
}

BOOL End::Disconnect() {
    Watch watch;
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cfg_.server) return Fail(ERROR_INVALID_FUNCTION);
        if (state_ == State::kClosed) return Fail(ERROR_INVALID_HANDLE);
        if (state_ == State::kConnected && fd_ >= 0) {
            // Tell the client it was disconnected, unless a frame is half sent.
            if (writes_.empty() || !writes_.front()->started) {
                const wire::FrameHeader bye{0, wire::kDisconnect};
                (void)!send(fd_, &bye, sizeof bye, MSG_DONTWAIT | MSG_NOSIGNAL);
            }
        }
        FailReads(ERROR_PIPE_NOT_CONNECTED);
        FailWrites(ERROR_PIPE_NOT_CONNECTED);
        if (connect_) {
            Finish(*connect_, ERROR_PIPE_NOT_CONNECTED, 0);
            connect_.reset();
        }
        TakeConnection(watch, fd);
        ResetStream();
        state_ = State::kDisconnected;
    }
    watch.Remove();
    if (fd >= 0) close(fd);
    return TRUE;
}

BOOL End::Peek(void* buffer, DWORD size, DWORD* read, DWORD* avail, DWORD* left) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (DWORD e = StateError()) return Fail(e);
    Pump();
    if (disconnected_) return Fail(ERROR_PIPE_NOT_CONNECTED);
    // A message counts once it is whole; a byte stream's bytes count as they come.
    DWORD total = 0;
    bool any = false;
    for (const Msg& m : rx_) {
        if (cfg_.messageType && !m.Complete()) break;
        total += static_cast<DWORD>(m.Avail());
        any = any || m.Avail() > 0 || cfg_.messageType;  // a whole empty message counts too
    }
    if (!any && eof_) return Fail(ERROR_BROKEN_PIPE);
    DWORD copied = 0;
    if (buffer) {
        for (const Msg& m : rx_) {
            if (copied == size || (cfg_.messageType && !m.Complete())) break;
            const size_t k = std::min<size_t>(size - copied, m.Avail());
            std::memcpy(static_cast<char*>(buffer) + copied, m.buf.data() + m.off, k);
            copied += static_cast<DWORD>(k);
            if (cfg_.messageRead) break;
        }
    }
    DWORD rest = 0;
    if (cfg_.messageType && !rx_.empty() && rx_.front().Complete())
        rest = rx_.front().Left() - std::min<DWORD>(copied, rx_.front().Left());
    if (read) *read = copied;
    if (avail) *avail = total;
    if (left) *left = rest;
    return TRUE;
}

BOOL End::SetMode(DWORD mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode & ~(PIPE_READMODE_MESSAGE | PIPE_NOWAIT)) return Fail(ERROR_INVALID_PARAMETER);
    if (mode & PIPE_NOWAIT) return Fail(ERROR_INVALID_PARAMETER);  // non-blocking mode is not offered
    if ((mode & PIPE_READMODE_MESSAGE) && !cfg_.messageType) return Fail(ERROR_INVALID_PARAMETER);
    cfg_.messageRead = (mode & PIPE_READMODE_MESSAGE) != 0;
    return TRUE;
}

BOOL End::Info(DWORD* flags, DWORD* outSize, DWORD* inSize, DWORD* maxInstances) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (flags) *flags = (cfg_.server ? PIPE_SERVER_END : PIPE_CLIENT_END) | (cfg_.messageType ? PIPE_TYPE_MESSAGE : 0);
    if (outSize) *outSize = cfg_.outSize;
    if (inSize) *inSize = cfg_.inSize;
    if (maxInstances) *maxInstances = cfg_.maxInstances;
    return TRUE;
}

BOOL End::Flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (DWORD e = StateError()) return Fail(e);
    cv_.wait(lock, [&] { return writes_.empty() || fd_ < 0; });
    if (fd_ < 0) return Fail(StateError() ? StateError() : ERROR_BROKEN_PIPE);
    return TRUE;
}

size_t End::Cancel(const OVERLAPPED* ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto matches = [ov](const Op& op) { return !op.done && (!ov || op.ov == ov); };
    size_t count = 0;
    for (auto it = reads_.begin(); it != reads_.end();) {
        if (matches(**it)) {
            std::shared_ptr<Op> op = *it;
            it = reads_.erase(it);
            Finish(*op, ERROR_OPERATION_ABORTED, 0);
            ++count;
        } else {
            ++it;
        }
    }
    for (auto it = writes_.begin(); it != writes_.end();) {
        if (!matches(**it)) {
            ++it;
            continue;
        }
        std::shared_ptr<Op> op = *it;
        // A frame partly in the socket is finished in the background so the stream stays whole.
        it = op->started ? std::next(it) : writes_.erase(it);
        Finish(*op, ERROR_OPERATION_ABORTED, 0);
        ++count;
    }
    if (connect_ && matches(*connect_)) {
        Finish(*connect_, ERROR_OPERATION_ABORTED, 0);
        connect_.reset();
        ++count;
    }
    Rearm();
    return count;
}

void End::WaitDone(const OVERLAPPED* ov) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING; });
}

void End::Close() {
    Watch watch;
    int fd = -1;
    std::shared_ptr<Server> server;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ == State::kClosed) return;
        state_ = State::kClosed;
        FailReads(ERROR_OPERATION_ABORTED);
        FailWrites(ERROR_OPERATION_ABORTED);
        if (connect_) {
            Finish(*connect_, ERROR_OPERATION_ABORTED, 0);
            connect_.reset();
        }
        TakeConnection(watch, fd);
        server = std::move(server_);
    }
    watch.Remove();
    if (fd >= 0) close(fd);
    if (server) server->RemoveInstance(this);
}

// ---- acceptor side ----

bool End::IsFree() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::kListening;
}

End::Attach End::TryAttach(int fd, const void* reply, size_t replySize, bool onlyWaiting) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kListening || (onlyWaiting && !connect_)) return Attach::kNotFree;
    if (send(fd, reply, replySize, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(replySize))
        return Attach::kFailed;
    ResetStream();
    fd_ = fd;
    if (!watch_.Add(fd, shared_from_this())) {
        fd_ = -1;
        return Attach::kFailed;
    }
    state_ = State::kConnected;
    if (connect_) {
        Finish(*connect_, 0, 0);
        connect_.reset();
    }
    return Attach::kAttached;
}

}  // namespace pal::pipe
