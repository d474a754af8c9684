// What travels on a pipe's Unix socket (both ends are on this machine, so fields are in
// host order).
//
// Opening: the client connects to the name's socket and sends a Hello. The serving
// process's acceptor answers with a Reply and, for kConnect granted, hands the socket to
// a free instance; for every other answer it closes the socket. So a client learns at
// once whether it got an instance (ERROR_PIPE_BUSY otherwise).
//
// Data: every WriteFile is one frame, a FrameHeader and its bytes, sent whole and in
// order per end, so message boundaries survive and records of different writers never
// interleave. A kDisconnect frame tells the client that the server called
// DisconnectNamedPipe (as opposed to closing its instance).
#pragma once

#include <cstdint>

namespace pal::pipe::wire {

constexpr uint32_t kMagic = 0x31505156u;  // "VQP1"

enum HelloKind : uint8_t {
    kConnect = 'C',  // CreateFile: give me an instance
    kQuery = 'W',    // WaitNamedPipe: is an instance free?
};

struct Hello {
    uint32_t magic;
    uint8_t kind;
    uint8_t wantRead;
    uint8_t wantWrite;
    uint8_t reserved;
};
static_assert(sizeof(Hello) == 8);

enum ReplyStatus : uint8_t {
    kGranted = 0,  // kConnect: the socket is now an instance's client end; kQuery: one is free
    kBusy = 1,
    kDenied = 2,  // the access asked for does not fit the pipe's direction
};

struct Reply {
    uint32_t magic;
    uint8_t status;
    uint8_t messageType;  // PIPE_TYPE_MESSAGE pipe
    uint8_t reserved[2];
    uint32_t defaultTimeout;  // ms, for NMPWAIT_USE_DEFAULT_WAIT
    uint32_t outSize;         // the server's sizes, for GetNamedPipeInfo
    uint32_t inSize;
    uint32_t maxInstances;
};
static_assert(sizeof(Reply) == 24);

enum FrameKind : uint32_t {
    kData = 0,
    kDisconnect = 1,
};

struct FrameHeader {
    uint32_t length;  // payload bytes
    uint32_t kind;
};
static_assert(sizeof(FrameHeader) == 8);

}  // namespace pal::pipe::wire
