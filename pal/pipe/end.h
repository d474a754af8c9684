// One end of a pipe connection: a client end, or a server instance (which gets a client
// from its name's acceptor). It owns the connection's socket and runs every operation on
// it: reads and writes at once when they can finish, else queued in order and finished
// later by the engine thread (overlapped) or while the caller waits (synchronous).
//
// Every write into a caller's buffer or OVERLAPPED happens under the end's mutex, and a
// cancelled or closed operation leaves the queues under the same mutex before it is
// completed. So when Cancel or Close returns, nothing touches the caller's memory again.
//
// Writes copy what the socket did not take at once, so the caller's buffer is free as soon
// as WriteFile returns. A write whose first bytes went out is always sent to its end even
// when cancelled: the stream then stays whole for the reader (no torn or mixed records).
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "pal/pipe/engine.h"
#include "pal/types.h"

namespace pal {
class SyncObject;
}

namespace pal::pipe {

class Server;

struct Op {
    enum Kind { kRead, kWrite, kConnect } kind;
    OVERLAPPED* ov = nullptr;  // the caller's; null for a synchronous call
    std::shared_ptr<SyncObject> event;  // ov's event, held until the completion
    char* buffer = nullptr;    // read: the caller's buffer
    DWORD size = 0;            // read: buffer size; write: payload bytes
    std::string out;           // write: frame bytes not yet taken by the socket
    size_t sent = 0;           // write: bytes of out already sent
    bool started = false;      // write: part of its frame is in the socket
    bool done = false;         // completed (the caller has its outcome)
    DWORD error = 0;
    DWORD bytes = 0;
};

// What a server instance is created with; a client end takes the pipe's from the reply.
struct EndConfig {
    bool server = false;
    bool overlapped = false;  // FILE_FLAG_OVERLAPPED handle
    bool messageType = false;
    bool messageRead = false;
    bool canRead = true;
    bool canWrite = true;
    DWORD outSize = 0, inSize = 0, maxInstances = 0;
};

class End : public Watcher, public std::enable_shared_from_this<End> {
public:
    // A client end over a connected, granted socket.
    static std::shared_ptr<End> NewClient(int fd, const EndConfig& config);
    // A server instance of server, listening (free) until a client comes.
    static std::shared_ptr<End> NewInstance(std::shared_ptr<Server> server, const EndConfig& config);
    ~End() override;

    // Win32 operations; each returns TRUE, or FALSE with the last error set.
    BOOL Read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
    BOOL Write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
    BOOL Connect(OVERLAPPED* ov);
    BOOL Disconnect();
    BOOL Peek(void* buffer, DWORD size, DWORD* read, DWORD* avail, DWORD* left);
    BOOL SetMode(DWORD mode);
    BOOL Info(DWORD* flags, DWORD* outSize, DWORD* inSize, DWORD* maxInstances);
    BOOL Flush();
    // Completes the pending operations of ov (all when ov is null) with
    // ERROR_OPERATION_ABORTED; returns how many there were.
    size_t Cancel(const OVERLAPPED* ov);
    // GetOverlappedResult's wait when ov has no event.
    void WaitDone(const OVERLAPPED* ov);
    // The last handle went: pending operations end with ERROR_OPERATION_ABORTED, the
    // connection closes, a server instance leaves its name.
    void Close();

    // Acceptor side (server instances): free for a new client?
    bool IsFree();
    // Sends reply on fd and takes fd as this instance's client. kNotFree: the instance is
    // not free (or has no ConnectNamedPipe waiting, with onlyWaiting); fd untouched.
    // kFailed: fd is spoilt, the caller closes it.
    enum class Attach { kAttached, kNotFree, kFailed };
    Attach TryAttach(int fd, const void* reply, size_t replySize, bool onlyWaiting);

    void OnEvents(uint32_t events) override;

private:
    enum class State { kListening, kConnected, kDisconnected, kClosed };
    enum class Serve { kWait, kDone };

    explicit End(const EndConfig& config) : cfg_(config) {}

    // All below run under mutex_.
    DWORD StateError() const;  // 0 when connected
    void Pump();
    void Parse(const char* data, size_t n);
    bool Servable(DWORD size) const;
    Serve TryServe(char* buffer, DWORD size, DWORD& error, DWORD& bytes);
    void ServeReads();
    void PushWrites();
    void FailReads(DWORD error);
    void FailWrites(DWORD error);
    void Finish(Op& op, DWORD error, DWORD bytes);
    void Rearm();
    BOOL WaitFor(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Op>& op, DWORD* done);
    bool PeerGone();
    // Detaches the connection: the caller removes the watch and closes the fd unlocked.
    void TakeConnection(Watch& watch, int& fd);
    void ResetStream();

    struct Msg {
        uint32_t total = 0;    // payload bytes of the frame
        uint32_t arrived = 0;  // of which received so far
        std::string buf;       // received and not yet read: buf[off..]
        size_t off = 0;
        size_t Avail() const { return buf.size() - off; }
        bool Complete() const { return arrived == total; }
        uint32_t Left() const { return total - (arrived - static_cast<uint32_t>(Avail())); }
    };

    EndConfig cfg_;
    std::shared_ptr<Server> server_;
    std::mutex mutex_;
    std::condition_variable cv_;  // an operation finished
    State state_ = State::kConnected;
    int fd_ = -1;
    Watch watch_;
    bool eof_ = false;           // the peer closed its end
    bool disconnected_ = false;  // the server disconnected this client

    // Received frames not yet read, and the parser's place in the stream.
    std::deque<Msg> rx_;
    size_t rxBytes_ = 0;
    char header_[8] = {};
    size_t headerHave_ = 0;
    uint32_t frameLeft_ = 0;

    std::deque<std::shared_ptr<Op>> reads_, writes_;
    std::shared_ptr<Op> connect_;
};

}  // namespace pal::pipe
