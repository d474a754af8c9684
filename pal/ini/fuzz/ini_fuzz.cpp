// Fuzz target: arbitrary bytes as an ini file. Checks that what the lookups see survives a
// write-back, that a value written is the value read, and feeds the integer conversion.
#include <cstdint>
#include <string>
#include <string_view>

#include "pal/ini/ini.h"
#include "pal/ini/ini_file.h"

namespace {

void SameContent(const pal::ini::IniFile& a, const pal::ini::IniFile& b) {
    if (a.SectionNames() != b.SectionNames()) __builtin_trap();
    for (const auto& section : a.SectionNames()) {
        if (a.KeyNames(section) != b.KeyNames(section)) __builtin_trap();
        for (const auto& key : a.KeyNames(section)) {
            const std::string* va = a.Find(section, key);
            const std::string* vb = b.Find(section, key);
            if (!va || !vb || *va != *vb) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    pal::ini::IniFile ini = pal::ini::IniFile::Parse(bytes);
    SameContent(ini, pal::ini::IniFile::Parse(ini.Serialize()));

    for (const auto& section : ini.SectionNames())
        for (const auto& key : ini.KeyNames(section)) pal::ini::StripQuotes(*ini.Find(section, key));

    // A value without line breaks reads back as written, blanks at its ends aside.
    std::string value(bytes.substr(0, 40));
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0') c = '_';
    ini.Set("Fuzz", "Key", value);
    pal::ini::IniFile again = pal::ini::IniFile::Parse(ini.Serialize());
    const std::string* got = again.Find("fuzz", "KEY");
    pal::ini::IniFile trimmed = pal::ini::IniFile::Parse("[s]\nk=" + value + "\n");
    if (!got || !trimmed.Find("s", "k") || *got != *trimmed.Find("s", "k")) __builtin_trap();
    ini.DeleteKey("Fuzz", "Key");
    ini.DeleteSection("Fuzz");

    std::string number(bytes.substr(0, 29));
    pal::ini::ParseProfileInt(number.c_str());
    return 0;
}
