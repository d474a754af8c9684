// The trap record that carries one trap request from a requesting process to the agent
// copy of norvik inside the SNMP service, and the named objects of the hand-over.
//
// The layout is a format shared by two processes (possibly built apart): every size and
// offset is fixed and checked at compile time. Integers are little-endian; texts are
// 8-bit and NUL-terminated within their fields.
//
// Sequence numbers and the outcome (the record's reserved bytes 265 to 267)
// -----------------------------------------------------------
// A requester waits at most 5 s for the agent's end signal. An agent that answers later
// still sets the auto-reset end event, and that pending signal would end the wait of the
// next requester at once. So each request carries a number and the agent answers with it:
//   - requestSeq (offset 265): written by the requester under "_NORVIK_TrapMutex". It is
//     the previous request's number in the shared block plus one, 1..255, wrapping from
//     255 to 1; 0 while the requester is writing the block.
//   - ackSeq (offset 266): written only by the agent, just before it sets the end event,
//     as the requestSeq of the request it has finished (taken from its own copy of the
//     request, not re-read). A requester picks a number other than the one it finds
//     there, so a new request is never mistaken for one already answered.
// A requester that sees the end event takes it as its own only when ackSeq equals its
// requestSeq; otherwise it was a late answer to an earlier request and the requester
// keeps waiting for the rest of its 5 s. Numbers repeat only after 255 requests, which
// an agent that answers at all cannot fall behind by.
//   - outcome (offset 267): written only by the agent, just before ackSeq: kTrapSent (0)
//     when the host has sent the trap, kTrapRefused (1) when the agent refused the request
//     (an empty enterprise, a malformed binding). The block is writable by every process,
//     so a request spoiled on its way is refused, and the requester must be able to tell:
//     Send returns 0 only for a sent trap. A requester never writes this byte.
//
// requestSeq also fences the copy. A requester first stores 0, then copies its request,
// then stores the new number; the agent reads the number before and after taking its
// copy and takes the copy only when both are the same non-zero number it has not
// answered yet. So an agent woken by a late trap event (a requester that gave up) never
// sends a half-written block or the same request twice; the requester's own trap event
// brings the agent back to the finished block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace norvik {

inline constexpr uint32_t kMaxBindings = 50;
inline constexpr uint32_t kOidTextSize = 256;     // name and enterprise fields
inline constexpr uint32_t kValueSize = 2048;      // value field
inline constexpr uint32_t kMaxOidText = kOidTextSize - 1;  // 255 characters
inline constexpr uint32_t kMaxValueText = kValueSize - 1;  // 2047 characters

// The outcome byte of an answered request.
inline constexpr uint8_t kTrapSent = 0;
inline constexpr uint8_t kTrapRefused = 1;

// Object names shared with the agent copy.
inline constexpr const char kMappingName[] = "_NORVIK_TRAP_INFO";
inline constexpr const char kMutexName[] = "_NORVIK_TrapMutex";
inline constexpr const char kTrapEventName[] = "_NORVIK_TrapEvent";
inline constexpr const char kEndEventName[] = "_NORVIK_TrapEvent_SendEnd";

// One variable binding.
struct TrapParam {
    char name[kOidTextSize];   // dotted OID text; byte 255 always 0
    uint8_t type;              // ASN.1 tag (ASN_INTEGER ... ASN_UNSIGNED32)
    uint8_t reserved[3];       // 0
    uint32_t length;           // value length in bytes (text: without terminator)
    uint8_t value[kValueSize]; // numbers little-endian in bytes 0-3 (Counter64: 0-7), or text
};

struct TrapInfo {
    char enterprise[kOidTextSize];  // dotted OID text; empty: no trap
    int32_t genericTrap;
    int32_t specificTrap;
    uint8_t bindingCount;           // 0..50
    uint8_t requestSeq;             // see above
    uint8_t ackSeq;                 // see above
    uint8_t outcome;                // see above
    TrapParam params[kMaxBindings];
};

// Bytes of a record that carry its request: the header and the first bindingCount entries
// (at most all 50). Entries beyond the count are never read.
inline size_t UsedSize(const TrapInfo& t) {
    size_t count = t.bindingCount < kMaxBindings ? t.bindingCount : kMaxBindings;
    return offsetof(TrapInfo, params) + count * sizeof(TrapParam);
}

static_assert(std::endian::native == std::endian::little, "the record's integers are little-endian");

static_assert(sizeof(TrapParam) == 2312);
static_assert(offsetof(TrapParam, name) == 0);
static_assert(offsetof(TrapParam, type) == 256);
static_assert(offsetof(TrapParam, reserved) == 257);
static_assert(offsetof(TrapParam, length) == 260);
static_assert(offsetof(TrapParam, value) == 264);

static_assert(sizeof(TrapInfo) == 115868);
static_assert(offsetof(TrapInfo, enterprise) == 0);
static_assert(offsetof(TrapInfo, genericTrap) == 256);
static_assert(offsetof(TrapInfo, specificTrap) == 260);
static_assert(offsetof(TrapInfo, bindingCount) == 264);
static_assert(offsetof(TrapInfo, requestSeq) == 265);
static_assert(offsetof(TrapInfo, ackSeq) == 266);
static_assert(offsetof(TrapInfo, outcome) == 267);
static_assert(offsetof(TrapInfo, params) == 268);

inline constexpr uint32_t kTrapInfoSize = sizeof(TrapInfo);

// The number that follows prev (1..255, never 0).
constexpr uint8_t NextRequestSeq(uint8_t prev) { return prev >= 255 ? 1 : static_cast<uint8_t>(prev + 1); }

}  // namespace norvik
