// One connected client of the job pipe. Its reader thread accumulates whole 4096-byte
// records and hands each to the controller for routing; its writer thread empties a
// bounded queue of records addressed to it, one whole record per write. The two are
// apart so that a client that stops reading holds up only its own queue.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "framework/jobpipedata.h"
#include "pal/types.h"

namespace taskctrl {

class Controller;

using RecordBytes = std::array<char, 4096>;
using SharedRecord = std::shared_ptr<const RecordBytes>;

struct Identity {
    std::string net, pc, process;
};

struct ClientInfo {
    unsigned id = 0;
    Identity who;
    uint64_t in = 0, out = 0;
    size_t queued = 0;
    bool stalled = false;
    bool stopping = false;
};

class Client {
public:
    enum class Queued { Yes, Full, Closed };

    // Takes the connected pipe instance; stop is the controller's manual-reset stop event.
    Client(Controller& owner, HANDLE pipe, unsigned id, size_t queueLimit, unsigned long queueWaitMs, HANDLE stop);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Start();
    // Ends the connection: both threads leave, the reader retires the client.
    void Drop();
    // Joins both threads and closes the pipe instance.
    void Join();

    Queued Enqueue(SharedRecord record);

    unsigned id() const { return id_; }
    // "sample#3", or "#3" before the client has sent a record.
    std::string Label() const;
    // The source names of its latest record.
    void Learn(const CJobPipeData& record);
    // Whether a record's destination names this client (an empty name matches all).
    bool Matches(const CJobPipeData& record) const;
    bool HasProcess(const std::string& process) const;
    void CountIn() { ++in_; }
    void MarkStopping();

    // Stall on: returns once the reader has stopped reading (or at most 5 s later).
    void SetStall(bool on);
    // The next `records` records to this client go out in `pieces` writes each.
    void SetSplit(int pieces, int records);
    ClientInfo Info() const;

private:
    struct Split {
        int pieces = 1;
        int records = 0;
    };
    void ReadLoop();
    void WriteLoop();
    bool WriteRecord(const RecordBytes& record, int pieces, OVERLAPPED& ov);
    // Waits up to ms on stop and drop; true when neither came.
    bool Pause(DWORD ms);

    Controller& owner_;
    HANDLE pipe_;
    const unsigned id_;
    const size_t queueLimit_;
    const unsigned long queueWaitMs_;
    HANDLE stop_;
    HANDLE drop_ = nullptr;        // manual reset
    HANDLE wake_ = nullptr;        // auto reset: the stall setting changed
    HANDLE queueEvent_ = nullptr;  // auto reset: records were queued
    HANDLE readEvent_ = nullptr;   // manual reset, the reads' OVERLAPPED event
    HANDLE writeEvent_ = nullptr;  // manual reset, the writes' OVERLAPPED event

    mutable std::mutex mu_;
    std::condition_variable room_;  // the writer took a record, or the connection closed
    std::condition_variable parked_;
    Identity who_;
    bool known_ = false;
    bool stopping_ = false;
    std::deque<SharedRecord> queue_;
    bool closed_ = false;
    Split split_;
    uint64_t stallRequest_ = 0, stallAck_ = 0;
    bool readerDone_ = false;
    std::atomic<bool> stalled_{false};
    std::atomic<uint64_t> in_{0}, out_{0};

    std::thread reader_, writer_;
};

}  // namespace taskctrl
