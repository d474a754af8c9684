// vqtrap: builds one SNMP trap through the extension agent's request interface and hands
// it to the SNMP service host, which sends it to the configured destinations.
//   vqtrap [--generic N] ENTERPRISE_OID SPECIFIC_ID [OID TYPE VALUE]...
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/vqtrap/bindings.h"
#include "tools/vqtrap/sender.h"

namespace {

const char kUsage[] =
    "usage: vqtrap [--generic N] ENTERPRISE_OID SPECIFIC_ID [OID TYPE VALUE]...\n"
    "\n"
    "Sends one trap through norvik's request interface to the SNMP service host (vqsnmpd),\n"
    "which sends it to every trap destination of its configuration. OIDs are dotted\n"
    "numbers (a leading dot is allowed); at most 50 bindings. The generic id defaults to 6\n"
    "(enterprise specific). Prints the result code of Send; exits 0 when the host took\n"
    "the trap, 1 when something failed, 2 on a usage error.\n"
    "\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    vqtrap::Request request;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::printf("%s%s", kUsage, vqtrap::kTypeHelp);
        return 0;
    }
    if (args.size() >= 2 && args[0] == "--generic") {
        char* end = nullptr;
        long g = std::strtol(args[1].c_str(), &end, 10);
        if (args[1].empty() || *end != '\0' || g < 0 || g > 6) {
            std::fprintf(stderr, "vqtrap: --generic takes 0 to 6, not \"%s\"\n", args[1].c_str());
            return 2;
        }
        request.generic = static_cast<int32_t>(g);
        args.erase(args.begin(), args.begin() + 2);
    }
    std::string error;
    if (!vqtrap::ParseRequest(args, request, error)) {
        std::fprintf(stderr, "vqtrap: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    vqtrap::SendResult r = vqtrap::SendTrap(request);
    if (!r.failed.empty()) {
        std::fprintf(stderr, "vqtrap: %s (%s: %ld)\n", r.message.c_str(), r.failed.c_str(), r.code);
        return 1;
    }
    std::printf("Send: %ld (%s)\n", r.code, r.message.c_str());
    return 0;
}
