#include "pal/device/hwmon.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <limits>

#include "pal/device/conf_device.h"

namespace pal::device {

namespace {

constexpr int kMaxScaleDigits = 9;

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// "12", "-0.001", "2.5": digits with an optional sign and point.
bool ParseScale(std::string_view text, int64_t& numerator, int& digits) {
    const size_t point = text.find('.');
    std::string whole(text.substr(0, point));
    int frac = 0;
    if (point != std::string_view::npos) {
        std::string_view f = text.substr(point + 1);
        if (f.empty() || f.size() > kMaxScaleDigits || !AllDigits(f)) return false;
        whole += f;
        frac = static_cast<int>(f.size());
    }
    int64_t n = 0;
    if (!ParseInteger(whole, -1'000'000'000'000LL, 1'000'000'000'000LL, n)) return false;
    numerator = n;
    digits = frac;
    return true;
}

bool ReadSmallFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[128];
    ssize_t n;
    do n = read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) return false;
    text.assign(buf, static_cast<size_t>(n));
    return true;
}

// hwmonN -> N, or -1.
long HwmonNumber(std::string_view base) {
    if (base.size() <= 5 || base.substr(0, 5) != "hwmon") return -1;
    int64_t n = 0;
    std::string_view digits = base.substr(5);
    if (!AllDigits(digits)) return -1;
    return ParseInteger(digits, 0, std::numeric_limits<long>::max(), n) ? static_cast<long>(n) : -1;
}

std::optional<int64_t> ReadScaled(const std::string& path, const HwmonSource& source) {
    std::string text;
    int64_t raw = 0;
    if (!ReadSmallFile(path, text) || !ParseInteger(Trim(text), std::numeric_limits<int64_t>::min() / 2,
                                                    std::numeric_limits<int64_t>::max() / 2, raw))
        return std::nullopt;
    __int128 product = static_cast<__int128>(raw) * source.scaleNumerator;
    __int128 divisor = 1;
    for (int i = 0; i < source.scaleDigits; ++i) divisor *= 10;
    __int128 q = product / divisor, r = product % divisor;
    if (2 * (r < 0 ? -r : r) >= divisor) q += product < 0 ? -1 : 1;  // halves away from zero
    if (q > std::numeric_limits<int64_t>::max() || q < std::numeric_limits<int64_t>::min()) return std::nullopt;
    return static_cast<int64_t>(q);
}

}  // namespace

bool ParseHwmonSource(std::string_view text, HwmonSource& source) {
    text = Trim(text);
    const size_t c1 = text.find(':');
    if (c1 == std::string_view::npos) return false;
    const size_t c2 = text.find(':', c1 + 1);
    std::string_view chips = Trim(text.substr(0, c1));
    std::string_view file = Trim(text.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos : c2 - c1 - 1));
    HwmonSource s;
    if (c2 != std::string_view::npos && !ParseScale(Trim(text.substr(c2 + 1)), s.scaleNumerator, s.scaleDigits))
        return false;
    // The file names one attribute of the chip directory, never a path out of it.
    if (file.empty() || file.find('/') != std::string_view::npos || file == "." || file == "..") return false;
    s.file = std::string(file);
    while (true) {
        const size_t bar = chips.find('|');
        std::string_view chip = Trim(chips.substr(0, bar));
        if (chip.empty()) return false;
        s.chips.emplace_back(chip);
        if (bar == std::string_view::npos) break;
        chips.remove_prefix(bar + 1);
    }
    source = std::move(s);
    return true;
}

std::vector<HwmonChip> ListHwmonChips(const std::string& root) {
    std::vector<std::pair<long, HwmonChip>> found;
    if (DIR* d = opendir(root.c_str())) {
        while (dirent* e = readdir(d)) {
            long n = HwmonNumber(e->d_name);
            if (n < 0) continue;
            HwmonChip chip;
            chip.base = e->d_name;
            chip.dir = root + "/" + chip.base;
            std::string name;
            // Older kernels keep the name on the underlying device.
            if (ReadSmallFile(chip.dir + "/name", name) || ReadSmallFile(chip.dir + "/device/name", name))
                chip.name = std::string(Trim(name));
            found.emplace_back(n, std::move(chip));
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<HwmonChip> chips;
    for (auto& [n, chip] : found) chips.push_back(std::move(chip));
    return chips;
}

std::optional<int64_t> ReadHwmon(const std::vector<HwmonChip>& chips, const HwmonSource& source) {
    for (const std::string& want : source.chips) {
        for (const HwmonChip& chip : chips) {
            if (want != "*" && want != chip.name && want != chip.base) continue;
            if (auto v = ReadScaled(chip.dir + "/" + source.file, source)) return v;
        }
    }
    return std::nullopt;
}

}  // namespace pal::device
