// Readings from the Linux hardware-monitoring tree (/sys/class/hwmon/hwmonN/...).
//
// A source is "<chips>:<file>[:<scale>]". chips is one or more alternatives separated by
// '|', tried in that order: a chip name as in hwmonN/name, a directory name "hwmonN", or
// '*' for every chip. Within an alternative, directories are tried in hwmonN number
// order; the first one whose file reads as an integer gives the value. scale is a
// decimal number (default 1); value = raw x scale, rounded to the nearest integer with
// halves away from zero, computed exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pal::device {

struct HwmonSource {
    std::vector<std::string> chips;
    std::string file;
    int64_t scaleNumerator = 1;  // scale = numerator / 10^scaleDigits
    int scaleDigits = 0;
};

// False when text is not of the form above.
bool ParseHwmonSource(std::string_view text, HwmonSource& source);

// The chip directories under root, by hwmonN number.
struct HwmonChip {
    std::string dir;   // root + "/hwmonN"
    std::string base;  // "hwmonN"
    std::string name;  // contents of its name file, trimmed ("" when unreadable)
};
std::vector<HwmonChip> ListHwmonChips(const std::string& root);

// The scaled value, or nothing when no chip of the source has a readable file.
std::optional<int64_t> ReadHwmon(const std::vector<HwmonChip>& chips, const HwmonSource& source);

}  // namespace pal::device
