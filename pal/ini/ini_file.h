// An ini file held as its lines, so that a write changes only the line it concerns and
// keeps comments, blank lines and the line-break style of the rest.
//
// Reading rules (those of the profile functions):
// - "[name]" starts a section; blanks around the line and inside the brackets do not
//   count, and text after the last ']' is ignored. A '[' line without ']' is no header.
// - "key = value" is an entry; blanks around key and value do not count. Lines without
//   '=', lines starting with ';' (comments) and lines before the first section are kept
//   but never found.
// - Section and key names match ignoring case; the first section of a name and, in it,
//   the first entry of a key are the ones found.
// Line breaks are LF or CR LF; a UTF-8 byte order mark is skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pal::ini {

class IniFile {
public:
    static IniFile Parse(std::string_view text);
    std::string Serialize() const;

    // The entry's value, trimmed, quotes still on; null when the section or key is absent.
    const std::string* Find(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    // Section names in file order (each header counts, also a repeated one).
    std::vector<std::string> SectionNames() const;
    // Keys of the first section of that name, in file order.
    std::vector<std::string> KeyNames(std::string_view section) const;

    // Writes key=value into the first section of that name, replacing the key's first
    // entry or adding one after the section's last line; a new section goes at the end.
    void Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes the key's first entry; false when there was none.
    bool DeleteKey(std::string_view section, std::string_view key);
    // Removes the first section of that name with all its lines; false when absent.
    bool DeleteSection(std::string_view section);

private:
    enum class Kind { kOther, kSection, kEntry };
    struct Line {
        Kind kind = Kind::kOther;
        std::string text;   // the line as in the file, without its line break
        std::string name;   // section or key name
        std::string value;  // entry value
    };

    // Index of the first header of section, or npos; end receives the index after its
    // last line.
    size_t FindSection(std::string_view section, size_t* end) const;
    size_t FindEntry(std::string_view section, std::string_view key) const;

    std::vector<Line> lines_;
    std::string bom_;
    std::string eol_ = "\r\n";
    bool finalEol_ = true;
};

// The value as GetPrivateProfileString returns it: one pair of matching single or double
// quotes around the whole value is removed.
std::string_view StripQuotes(std::string_view value);

}  // namespace pal::ini
