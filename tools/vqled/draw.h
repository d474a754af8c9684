// What vqled draws: the display's state read from the ledpanel state file, and a code as
// seven-segment digits, three text lines high.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vqled {

struct PanelState {
    int digits = 0;
    std::optional<uint32_t> code;  // nothing shown yet
};

// The state as a reader sees it now: digits from the state file, else the configuration;
// nothing when no display is configured and nothing was ever shown.
std::optional<PanelState> ReadPanel();

// "digits = N" and "code = N" lines; nothing when either is missing or malformed.
std::optional<PanelState> ParseState(const std::string& text);

// Three lines (each ending in '\n') drawing the code right-aligned over `digits` cells,
// without leading zeros; a cell is three characters wide, cells are one blank apart. No
// code: every cell blank. A code wider than the display shows its lowest digits after a
// '-' in the first cell's middle segment, so an overflow is never mistaken for a value.
std::string Draw(const PanelState& state);

}  // namespace vqled
