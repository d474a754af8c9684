#include "tools/vqled/draw.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "pal/core/root.h"
#include "pal/device/conf_device.h"

namespace vqled {

namespace {

// Rows of each glyph: top, middle, bottom; index 10 is blank, 11 the minus sign.
const char* const kGlyphs[12][3] = {
    {" _ ", "| |", "|_|"}, {"   ", "  |", "  |"}, {" _ ", " _|", "|_ "}, {" _ ", " _|", " _|"},
    {"   ", "|_|", "  |"}, {" _ ", "|_ ", " _|"}, {" _ ", "|_ ", "|_|"}, {" _ ", "  |", "  |"},
    {" _ ", "|_|", "|_|"}, {" _ ", "|_|", " _|"}, {"   ", "   ", "   "}, {"   ", " _ ", "   "},
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::optional<PanelState> ParseState(const std::string& text) {
    pal::device::ConfValues values;
    if (!pal::device::ParseConfText(text, values)) return std::nullopt;
    pal::device::ConfReader r(values);
    int64_t digits = r.Integer("digits", 1, 10, -1);
    int64_t code = r.Integer("code", 0, UINT32_MAX, -1);
    if (!r.ok() || digits < 0 || code < 0) return std::nullopt;
    return PanelState{static_cast<int>(digits), static_cast<uint32_t>(code)};
}

std::optional<PanelState> ReadPanel() {
    const std::string root = pal::core::RootDir();
    if (auto state = ParseState(ReadFile(root + "/ledpanel/state"))) return state;
    pal::device::ConfValues values;
    if (pal::device::LoadConf(root + "/devices/ledpanel.conf", values) != 0) return std::nullopt;
    pal::device::ConfReader r(values);
    int64_t digits = r.Integer("digits", 1, 10, 4);
    if (!r.ok()) return std::nullopt;
    return PanelState{static_cast<int>(digits), std::nullopt};
}

std::string Draw(const PanelState& state) {
    const int cells = state.digits < 1 ? 1 : state.digits;
    std::vector<int> glyph(static_cast<size_t>(cells), 10);
    if (state.code) {
        std::string text = std::to_string(*state.code);
        bool overflow = text.size() > static_cast<size_t>(cells);
        if (overflow) text = text.substr(text.size() - static_cast<size_t>(cells - 1));
        size_t at = static_cast<size_t>(cells) - text.size();
        for (char c : text) glyph[at++] = c - '0';
        if (overflow) glyph[0] = 11;
    }
    std::ostringstream out;
    for (int row = 0; row < 3; ++row) {
        for (int i = 0; i < cells; ++i) {
            if (i) out << ' ';
            out << kGlyphs[glyph[static_cast<size_t>(i)]][row];
        }
        out << '\n';
    }
    return out.str();
}

}  // namespace vqled
