// vqevent: write, query, follow, clear, import into and describe the event logs of a
// machine root ($VQ_ROOT). Usage: vqevent COMMAND [ARGS], or vqevent COMMAND --help.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/vqevent/commands.h"

namespace {

const char kUsage[] =
    "usage: vqevent COMMAND [ARGS]\n"
    "\n"
    "Event logs of the machine root $VQ_ROOT.\n"
    "\n"
    "commands:\n"
    "  write   write one record (--log L or --source S, --id ID, ...)\n"
    "  query   print records of a log\n"
    "  follow  print new records of a log as they arrive\n"
    "  clear   clear a log, optionally into a backup file\n"
    "  import  append the records of a backup file to a log\n"
    "  info    oldest record, count, size and maximum size of a log\n"
    "\n"
    "vqevent COMMAND --help describes each command.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& c : vqevent::Commands())
        if (command == c.name) return c.run(args);
    std::fprintf(stderr, "vqevent: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
