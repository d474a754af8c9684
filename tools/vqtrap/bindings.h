// vqtrap's command line: the trap's enterprise, ids and bindings, with the value-type
// letters of snmptrap plus letters for the types it lacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqtrap {

struct Binding {
    std::string oid;
    char type = 0;  // the letter as given
    std::string text;  // text types: the value; also the original value text for messages
    uint32_t number = 0;  // 32-bit types
    uint64_t number64 = 0;  // Counter64
    int32_t integer = 0;
    uint8_t ip[4] = {};
};

struct Request {
    std::string enterprise;
    int32_t generic = 6;
    int32_t specific = 0;
    std::vector<Binding> bindings;
};

// The letters and what they send.
extern const char kTypeHelp[];

// Parses "ENTERPRISE_OID SPECIFIC_ID [OID TYPE VALUE]..." (after the options). On failure
// returns false with a message naming the argument.
bool ParseRequest(const std::vector<std::string>& args, Request& request, std::string& error);

}  // namespace vqtrap
