#include "pal/ini/ini_file.h"

#include <strings.h>

namespace pal::ini {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string_view StripQuotes(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v.remove_prefix(1);
        v.remove_suffix(1);
    }
    return v;
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile f;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        f.bom_ = text.substr(0, 3);
        text.remove_prefix(3);
    }
    size_t firstLf = text.find('\n');
    if (firstLf != std::string_view::npos) f.eol_ = firstLf > 0 && text[firstLf - 1] == '\r' ? "\r\n" : "\n";
    f.finalEol_ = text.empty() || text.back() == '\n';
    bool inSection = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);

        Line line;
        line.text = raw;
        std::string_view t = Trim(raw);
        size_t close = t.rfind(']');
        if (!t.empty() && t.front() == '[' && close != std::string_view::npos) {
            line.kind = Kind::kSection;
            line.name = Trim(t.substr(1, close - 1));
            inSection = true;
        } else if (inSection && !t.empty() && t.front() != ';') {
            size_t eq = t.find('=');
            if (eq != std::string_view::npos) {
                line.kind = Kind::kEntry;
                line.name = Trim(t.substr(0, eq));
                line.value = Trim(t.substr(eq + 1));
            }
        }
        f.lines_.push_back(std::move(line));
    }
    return f;
}

std::string IniFile::Serialize() const {
    std::string out = bom_;
    for (size_t i = 0; i < lines_.size(); ++i) {
        out += lines_[i].text;
        if (i + 1 < lines_.size() || finalEol_) out += eol_;
    }
    return out;
}

size_t IniFile::FindSection(std::string_view section, size_t* end) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Kind::kSection || !SameName(lines_[i].name, section)) continue;
        if (end) {
            size_t j = i + 1;
            while (j < lines_.size() && lines_[j].kind != Kind::kSection) ++j;
            *end = j;
        }
        return i;
    }
    return std::string::npos;
}

size_t IniFile::FindEntry(std::string_view section, std::string_view key) const {
    size_t end = 0;
    size_t at = FindSection(section, &end);
    if (at == std::string::npos) return std::string::npos;
    for (size_t i = at + 1; i < end; ++i)
        if (lines_[i].kind == Kind::kEntry && SameName(lines_[i].name, key)) return i;
    return std::string::npos;
}

const std::string* IniFile::Find(std::string_view section, std::string_view key) const {
    size_t i = FindEntry(section, key);
    return i == std::string::npos ? nullptr : &lines_[i].value;
}

bool IniFile::HasSection(std::string_view section) const {
    return FindSection(section, nullptr) != std::string::npos;
}

std::vector<std::string> IniFile::SectionNames() const {
    std::vector<std::string> names;
    for (const auto& l : lines_)
        if (l.kind == Kind::kSection) names.push_back(l.name);
    return names;
}

std::vector<std::string> IniFile::KeyNames(std::string_view section) const {
    std::vector<std::string> names;
    size_t end = 0;
    size_t at = FindSection(section, &end);
    if (at == std::string::npos) return names;
    for (size_t i = at + 1; i < end; ++i)
        if (lines_[i].kind == Kind::kEntry) names.push_back(lines_[i].name);
    return names;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    Line entry;
    entry.kind = Kind::kEntry;
    entry.value = Trim(value);
    size_t i = FindEntry(section, key);
    if (i != std::string::npos) {
        entry.name = lines_[i].name;  // the file's spelling of the key stays
        entry.text = entry.name + "=" + std::string(value);
        lines_[i] = std::move(entry);
        return;
    }
    entry.name = Trim(key);
    entry.text = entry.name + "=" + std::string(value);
    size_t end = 0;
    size_t at = FindSection(section, &end);
    if (at != std::string::npos) {
        // After the section's last non-blank line, so the blank line before the next
        // section stays where it is.
        size_t pos = end;
        while (pos > at + 1 && Trim(lines_[pos - 1].text).empty()) --pos;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(pos), std::move(entry));
        return;
    }
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) lines_.push_back(Line{});
    Line header;
    header.kind = Kind::kSection;
    header.name = Trim(section);
    header.text = "[" + header.name + "]";
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(entry));
    finalEol_ = true;
}

bool IniFile::DeleteKey(std::string_view section, std::string_view key) {
    size_t i = FindEntry(section, key);
    if (i == std::string::npos) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

bool IniFile::DeleteSection(std::string_view section) {
    size_t end = 0;
    size_t at = FindSection(section, &end);
    if (at == std::string::npos) return false;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at), lines_.begin() + static_cast<std::ptrdiff_t>(end));
    return true;
}

}  // namespace pal::ini
