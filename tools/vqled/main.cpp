// vqled [--follow]: draws the seven-segment display's current code in the terminal.
// --follow redraws whenever what the display shows changes, until interrupted.
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include "tools/vqled/draw.h"

namespace {

constexpr const char* kNoDisplay = "no display (devices/ledpanel.conf is missing or invalid)\n";

std::string Current() {
    auto state = vqled::ReadPanel();
    return state ? vqled::Draw(*state) : kNoDisplay;
}

int Usage() {
    std::fprintf(stderr, "usage: vqled [--follow]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool follow = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--follow") == 0)
            follow = true;
        else
            return Usage();
    }
    std::string shown = Current();
    if (!follow) {
        if (shown == kNoDisplay) {
            std::fprintf(stderr, "vqled: %s", kNoDisplay);
            return 1;
        }
        std::fputs(shown.c_str(), stdout);
        return 0;
    }
    const bool tty = isatty(STDOUT_FILENO) != 0;
    std::fputs(shown.c_str(), stdout);
    std::fflush(stdout);
    for (;;) {
        usleep(200 * 1000);
        std::string now = Current();
        if (now == shown) continue;
        if (tty) {
            // Back over the old drawing, clearing it, so the display stays in one place.
            for (size_t n = 0; n < static_cast<size_t>(std::count(shown.begin(), shown.end(), '\n')); ++n)
                std::fputs("\033[1A\033[2K", stdout);
        } else {
            std::fputs("\n", stdout);
        }
        shown = now;
        std::fputs(shown.c_str(), stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 0;  // the reader went away
    }
}
