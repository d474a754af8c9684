// GetCommandLineA: the process's argv (from /proc/self/cmdline, so it is right in every
// library whoever owns main) in the one-line form the system hands a program. Arguments
// are quoted and escaped the way the C runtime splits them again, so a caller that parses
// the line gets the same arguments back.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pal/thread/thread.h"

namespace {

void AppendProgram(std::string& line, const std::string& arg) {
    // The program token has no escapes: a quote only opens and closes it.
    bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
}

void AppendArgument(std::string& line, const std::string& arg) {
    bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as escapes only in front of a quote.
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
    }
    // Before the closing quote they would escape it, so they are doubled there.
    line.append(quote ? backslashes * 2 : backslashes, '\\');
    if (quote) line += '"';
}

std::string BuildCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        args.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    std::string line;
    for (size_t k = 0; k < args.size(); ++k) {
        if (k == 0) {
            AppendProgram(line, args[k]);
        } else {
            line += ' ';
            AppendArgument(line, args[k]);
        }
    }
    return line;
}

}  // namespace

LPSTR GetCommandLineA() {
    // Built once and never freed: callers keep the pointer for the life of the process.
    static std::string* line = new std::string(BuildCommandLine());
    return line->data();
}
