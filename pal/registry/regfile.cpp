// .reg text: a line-based parser into edits, and the writer of the same format.
#include "pal/registry/regfile.h"

#include <cstdio>

#include "pal/registry/codepage.h"
#include "pal/registry/key_object.h"

namespace pal::reg {

namespace {

constexpr size_t kShownText = 200;

const struct {
    const char* full;
    const char* shortName;
    KeyId id;
} kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", kLocalMachine},
    {"HKEY_CURRENT_USER", "HKCU", kCurrentUser},
    {"HKEY_CLASSES_ROOT", "HKCR", kClassesRoot},
    {"HKEY_USERS", "HKU", kUsers},
};

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && SameName(std::string(s.substr(0, prefix.size())), std::string(prefix));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1..maxDigits hex digits.
bool ParseHex(std::string_view s, size_t maxDigits, uint64_t& out) {
    if (s.empty() || s.size() > maxDigits) return false;
    out = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        out = out * 16 + static_cast<uint64_t>(d);
    }
    return true;
}

struct LogicalLine {
    int number;
    std::string text;
};

class Parser {
public:
    Parser(std::vector<RegEdit>& edits, RegFileError& error) : edits_(edits), error_(error) {}

    bool Run(std::string_view text) {
        if (!Decode(text)) return false;
        bool header = false;
        for (const LogicalLine& line : Lines(text_)) {
            std::string_view s = Trim(line.text);
            line_ = &line;
            if (!header) {
                if (s.empty()) continue;
                if (s != "Windows Registry Editor Version 5.00" && s != "REGEDIT4")
                    return Fail("expected the header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
                header = true;
                // The registry editor writes string hex data as UTF-16 under this header only.
                wideHex_ = encoding_ == kUtf16 && s != "REGEDIT4";
                continue;
            }
            if (s.empty() || s[0] == ';') continue;
            if (!(s[0] == '[' ? KeyLine(s) : ValueLine(s))) return false;
        }
        if (!header) return Fail(1, "empty file: expected the header \"Windows Registry Editor Version 5.00\"", "");
        return true;
    }

private:
    // Physical lines joined where one ends in '\' (outside comments); numbered by their
    // first physical line.
    static std::vector<LogicalLine> Lines(std::string_view text) {
        std::vector<LogicalLine> out;
        int number = 0;
        bool continuing = false;
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            std::string_view raw = text.substr(pos, end - pos);
            pos = end + 1;
            ++number;
            if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
            std::string_view trimmed = Trim(raw);
            if (continuing) {
                out.back().text += std::string(trimmed);
            } else {
                out.push_back(LogicalLine{number, std::string(raw)});
            }
            std::string& last = out.back().text;
            std::string_view whole = Trim(last);
            continuing = !whole.empty() && whole.front() != ';' && whole.back() == '\\';
            if (continuing) last = std::string(whole.substr(0, whole.size() - 1));
            if (end == text.size()) break;
        }
        return out;
    }

    enum Encoding { kEightBit, kUtf8, kUtf16 };

    // The text to parse, as UTF-8 for Unicode files (whose names and strings are then
    // converted to the store's code page one by one, after the escapes are undone, so a
    // byte 5C inside a double-byte character is never taken for a backslash).
    bool Decode(std::string_view text) {
        if (text.size() >= 2 && text[0] == '\xFE' && text[1] == '\xFF')
            return Fail(1, "UTF-16 big-endian files are not supported; save it as UTF-16LE (\"Unicode\") or UTF-8", "");
        if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
            encoding_ = kUtf16;
            int line = 0;
            std::string why;
            if (!Utf16LeToUtf8(text.substr(2), text_, line, why)) return Fail(line, why, "");
            return true;
        }
        if (text.substr(0, 3) == "\xEF\xBB\xBF") {
            text.remove_prefix(3);
            size_t bad = 0;
            if (!ValidUtf8(text, &bad)) return Fail(LineAt(text, bad), "malformed UTF-8 in a file marked as UTF-8", "");
            encoding_ = kUtf8;
        } else if (HasNonAscii(text) && ValidUtf8(text)) {
            encoding_ = kUtf8;  // without a mark: UTF-8 when it reads as UTF-8, else 8-bit
        }
        text_.assign(text.data(), text.size());
        return true;
    }

    static int LineAt(std::string_view text, size_t offset) {
        int line = 1;
        for (size_t i = 0; i < offset && i < text.size(); ++i)
            if (text[i] == '\n') ++line;
        return line;
    }

    // A name or string of the file as the store keeps it.
    bool Stored(std::string& s) {
        if (encoding_ == kEightBit) return true;
        std::string converted, why;
        if (!Utf8ToCp932(s, converted, why)) return Fail(why);
        s = std::move(converted);
        return true;
    }

    bool Fail(int line, const std::string& message, std::string_view text) {
        error_.line = line;
        error_.message = message;
        error_.text = std::string(text.substr(0, kShownText));
        if (text.size() > kShownText) error_.text += "...";
        return false;
    }
    bool Fail(const std::string& message) { return Fail(line_->number, message, Trim(line_->text)); }

    bool KeyLine(std::string_view s) {
        size_t close = s.rfind(']');
        if (close == std::string_view::npos || !Trim(s.substr(close + 1)).empty())
            return Fail("a key line must end with ']'");
        std::string_view path = s.substr(1, close - 1);
        bool remove = !path.empty() && path[0] == '-';
        if (remove) path.remove_prefix(1);
        RegEdit edit;
        std::string why, stored(path);
        // Converted whole, then split: the same tree as the file's 8-bit twin.
        if (!Stored(stored)) return false;
        if (!ParseKeyPath(stored, edit.root, edit.path, why)) return Fail(why);
        if (remove && edit.path.empty()) return Fail("a root key cannot be deleted");
        edit.kind = remove ? RegEdit::kDeleteKey : RegEdit::kCreateKey;
        edit.line = line_->number;
        edits_.push_back(std::move(edit));
        currentIndex_ = remove ? -1 : static_cast<long>(edits_.size() - 1);
        return true;
    }

    // A quoted string starting at s[0] == '"'; rest receives what follows the closing quote.
    bool Quoted(std::string_view s, std::string& out, std::string_view& rest) {
        out.clear();
        for (size_t i = 1; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                rest = s.substr(i + 1);
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= s.size()) break;
                char next = s[++i];
                if (next != '\\' && next != '"')
                    return Fail(std::string("unknown escape \\") + next + " (write \\\\ for a backslash)");
            }
            out += s[i];
        }
        return Fail("unterminated string");
    }

    bool ValueLine(std::string_view s) {
        RegEdit edit;
        edit.line = line_->number;
        std::string_view rest;
        if (s[0] == '@') {
            rest = s.substr(1);
        } else if (s[0] == '"') {
            if (!Quoted(s, edit.value.name, rest) || !Stored(edit.value.name)) return false;
        } else {
            return Fail("not a key, value or comment line");
        }
        rest = Trim(rest);
        if (rest.empty() || rest[0] != '=') return Fail("expected '=' after the value name");
        rest = Trim(rest.substr(1));
        if (currentIndex_ < 0) return Fail("a value must follow a [key] line");
        if (!ValidValueName(edit.value.name)) return Fail("value name longer than 16383 characters");
        if (!Data(rest, edit)) return false;
        edit.root = edits_[static_cast<size_t>(currentIndex_)].root;
        edit.path = edits_[static_cast<size_t>(currentIndex_)].path;
        edits_.push_back(std::move(edit));
        return true;
    }

    bool Data(std::string_view s, RegEdit& edit) {
        Value& v = edit.value;
        edit.kind = RegEdit::kSetValue;
        if (s == "-") {
            edit.kind = RegEdit::kDeleteValue;
            return true;
        }
        if (!s.empty() && s[0] == '"') {
            std::string text;
            std::string_view after;
            if (!Quoted(s, text, after)) return false;
            if (!Trim(after).empty()) return Fail("unexpected text after the closing quote");
            if (!Stored(text)) return false;
            v.type = REG_SZ;
            v.data.assign(text.begin(), text.end());
            v.data.push_back(0);
            return true;
        }
        if (StartsWithNoCase(s, "dword:")) {
            uint64_t n = 0;
            if (!ParseHex(Trim(s.substr(6)), 8, n)) return Fail("dword: takes 1 to 8 hexadecimal digits");
            v.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
            return true;
        }
        if (!StartsWithNoCase(s, "hex")) return Fail("unknown value data (expected \"...\", dword:, hex: or -)");
        s.remove_prefix(3);
        v.type = REG_BINARY;
        if (!s.empty() && s[0] == '(') {
            size_t close = s.find(')');
            uint64_t type = 0;
            if (close == std::string_view::npos || !ParseHex(s.substr(1, close - 1), 8, type))
                return Fail("hex(n): takes a hexadecimal type number");
            v.type = static_cast<DWORD>(type);
            s.remove_prefix(close + 1);
        }
        if (s.empty() || s[0] != ':') return Fail("expected ':' after hex");
        if (!Bytes(Trim(s.substr(1)), v.data)) return false;
        if (wideHex_ && (v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)) {
            std::vector<uint8_t> narrow;
            std::string why;
            if (!Utf16LeStringsToCp932(v.data, narrow, why)) return Fail(why);
            v.data = std::move(narrow);
        }
        return true;
    }

    bool Bytes(std::string_view s, std::vector<uint8_t>& out) {
        if (s.empty()) return true;
        while (true) {
            size_t comma = s.find(',');
            std::string_view item = Trim(s.substr(0, comma));
            uint64_t b = 0;
            if (!ParseHex(item, 2, b)) return Fail("hex data must be bytes of 2 hexadecimal digits separated by ','");
            out.push_back(static_cast<uint8_t>(b));
            if (comma == std::string_view::npos) return true;
            s.remove_prefix(comma + 1);
        }
    }

    std::vector<RegEdit>& edits_;
    RegFileError& error_;
    Encoding encoding_ = kEightBit;
    bool wideHex_ = false;  // hex(2) and hex(7) hold UTF-16LE
    std::string text_;
    const LogicalLine* line_ = nullptr;
    long currentIndex_ = -1;  // the [key] the next values belong to
};

void AppendEscaped(std::string& out, const std::string& s) {
    out += '"';
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// REG_SZ data that reads back the same from "...": one terminator, at the end only.
bool PlainString(const Value& v) {
    if (v.data.empty() || v.data.back() != 0) return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i)
        if (v.data[i] == 0 || v.data[i] == '\r' || v.data[i] == '\n') return false;
    return true;
}

// Writes the text: 8-bit, the store's bytes as they are; or Unicode (UTF-8 here, turned
// into UTF-16LE at the end), every name and string converted from CP932.
class Writer {
public:
    explicit Writer(bool unicode) : unicode_(unicode) {}

    bool Key(std::string& out, const std::string& path, const Tree& tree, std::string& why) {
        if (HasLineBreak(path)) {
            why = "key name with a line break: " + path;
            return false;
        }
        std::string shown;
        if (!Text(path, shown)) {
            why = "the key name " + path + " is not text of code page 932";
            return false;
        }
        out += "[" + shown + "]\n";
        for (const Value& v : tree.values) {
            if (HasLineBreak(v.name)) {
                why = "value name with a line break in " + path;
                return false;
            }
            if (!AppendValue(out, v)) {
                why = "the value \"" + v.name + "\" of " + path + " is not text of code page 932 (" + what_ +
                      "); export it without --utf16";
                return false;
            }
        }
        out += "\n";
        for (const Tree& child : tree.keys)
            if (!Key(out, path + "\\" + child.name, child, why)) return false;
        return true;
    }

private:
    bool Text(const std::string& stored, std::string& shown) {
        if (!unicode_) {
            shown = stored;
            return true;
        }
        return Cp932ToUtf8(stored, shown);
    }

    // Columns of the line so far: characters in a Unicode file, bytes in an 8-bit one.
    size_t Columns(const std::string& line) const {
        if (!unicode_) return line.size();
        size_t n = 0;
        for (char c : line)
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
        return n;
    }

    bool AppendValue(std::string& out, const Value& v) {
        std::string line, text;
        if (v.name.empty()) {
            line = "@=";
        } else {
            what_ = "its name";
            if (!Text(v.name, text)) return false;
            AppendEscaped(line, text);
            line += '=';
        }
        if (v.type == REG_SZ && PlainString(v)) {
            what_ = "its data";
            if (!Text(std::string(v.data.begin(), v.data.end() - 1), text)) return false;
            AppendEscaped(line, text);
            out += line + "\n";
            return true;
        }
        if (v.type == REG_DWORD && v.data.size() == 4) {
            char buf[16];
            uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
            std::snprintf(buf, sizeof buf, "dword:%08x", n);
            out += line + buf + "\n";
            return true;
        }
        const std::vector<uint8_t>* bytes = &v.data;
        std::vector<uint8_t> wide;
        if (unicode_ && (v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)) {
            what_ = "its data";
            if (!Cp932StringsToUtf16Le(v.data, wide)) return false;
            bytes = &wide;
        }
        char buf[24];
        if (v.type == REG_BINARY) {
            line += "hex:";
        } else {
            std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
            line += buf;
        }
        // Wrapped as the registry editor does: at most about 80 columns, "\" at the end.
        size_t column = Columns(line);
        for (size_t i = 0; i < bytes->size(); ++i) {
            std::snprintf(buf, sizeof buf, "%02x", (*bytes)[i]);
            line += buf;
            column += 2;
            if (i + 1 < bytes->size()) {
                line += ',';
                ++column;
                if (column > 76) {
                    line += "\\\n  ";
                    column = 2;
                }
            }
        }
        out += line + "\n";
        return true;
    }

    bool unicode_;
    std::string what_;  // which part of a value failed to convert
};

// An 8-bit export that happens to be well-formed UTF-8 would be read back as UTF-8 (see
// Decode). This comment, in CP932 ("character code: CP932"), is not UTF-8 and keeps the
// file 8-bit; it is written only when needed, so other exports stay as they always were.
constexpr const char kEightBitMark[] = "; \x95\xB6\x8E\x9A\x83\x52\x81\x5B\x83\x68: CP932\n";

}  // namespace

std::string RegFileError::ToString() const {
    std::string s = "line " + std::to_string(line) + ": " + message;
    if (!text.empty()) s += ": " + text;
    return s;
}

KeyId RootFromName(std::string_view name) {
    for (const auto& r : kRoots)
        if (SameName(std::string(name), r.full) || SameName(std::string(name), r.shortName)) return r.id;
    return 0;
}

const char* RootName(KeyId root) {
    for (const auto& r : kRoots)
        if (r.id == root) return r.full;
    return "";
}

HKEY RootHandle(KeyId root) {
    switch (root) {
    case kLocalMachine: return HKEY_LOCAL_MACHINE;
    case kCurrentUser: return HKEY_CURRENT_USER;
    case kClassesRoot: return HKEY_CLASSES_ROOT;
    case kUsers: return HKEY_USERS;
    default: return nullptr;
    }
}

bool ParseKeyPath(std::string_view full, KeyId& root, std::vector<std::string>& names, std::string& why) {
    names.clear();
    size_t slash = full.find('\\');
    std::string_view rootName = full.substr(0, slash);
    root = RootFromName(rootName);
    if (!root) {
        why = "unknown root key \"" + std::string(rootName) + "\" (use HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, "
              "HKEY_CLASSES_ROOT, HKEY_USERS or HKLM, HKCU, HKCR, HKU)";
        return false;
    }
    if (slash == std::string_view::npos || slash + 1 == full.size()) return true;
    std::string rest(full.substr(slash + 1));
    switch (SplitPath(rest.c_str(), names)) {
    case ERROR_SUCCESS: break;
    case ERROR_INVALID_PARAMETER: why = "key name longer than 255 characters"; return false;
    default: why = "empty key name in \"" + std::string(full) + "\""; return false;
    }
    if (names.size() > static_cast<size_t>(kMaxDepth)) {
        why = "key path deeper than 512 levels";
        return false;
    }
    return true;
}

bool ParseRegFile(std::string_view text, std::vector<RegEdit>& edits, RegFileError& error) {
    std::vector<RegEdit> parsed;
    Parser parser(parsed, error);
    if (!parser.Run(text)) return false;
    edits = std::move(parsed);
    return true;
}

LONG ApplyRegEdits(const std::vector<RegEdit>& edits, int* failedLine) {
    const RegEdit* failed = nullptr;
    LONG e = Store::Run(true, [&](Txn& txn) -> LONG {
        for (const RegEdit& edit : edits) {
            failed = &edit;
            if (edit.root < kClassesRoot || edit.root > kUsers) return ERROR_INVALID_HANDLE;
            KeyId id = 0;
            LONG r = ERROR_SUCCESS;
            switch (edit.kind) {
            case RegEdit::kCreateKey: r = WalkPath(txn, edit.root, edit.path, true, id); break;
            case RegEdit::kSetValue:
                r = WalkPath(txn, edit.root, edit.path, true, id);
                if (!r) r = txn.SetValue(id, edit.value);
                break;
            case RegEdit::kDeleteValue:
                r = WalkPath(txn, edit.root, edit.path, true, id);
                if (!r) r = txn.DeleteValue(id, edit.value.name);
                if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;  // already gone
                break;
            case RegEdit::kDeleteKey:
                r = WalkPath(txn, edit.root, edit.path, false, id);
                if (r == ERROR_FILE_NOT_FOUND) {
                    r = ERROR_SUCCESS;
                    break;
                }
                if (!r) r = CheckDeletable(txn, id);
                if (!r) r = txn.DeleteContents(id);
                if (!r) r = txn.DeleteKey(id);
                break;
            }
            if (r) return r;
        }
        failed = nullptr;
        return ERROR_SUCCESS;
    });
    if (e && failedLine) *failedLine = failed ? failed->line : 0;
    return e;
}

bool FormatRegFile(const std::string& keyPath, const Tree& tree, std::string& out, std::string& why,
                   RegFileEncoding encoding) {
    const bool unicode = encoding == RegFileEncoding::kUtf16;
    std::string body;
    if (!Writer(unicode).Key(body, keyPath, tree, why)) return false;
    if (unicode) {
        std::string text = "Windows Registry Editor Version 5.00\n\n" + body, crlf;
        crlf.reserve(text.size() + text.size() / 16);
        for (char c : text) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        out = "\xFF\xFE" + Utf8ToUtf16Le(crlf);
        return true;
    }
    out = "Windows Registry Editor Version 5.00\n\n";
    if (HasNonAscii(body) && ValidUtf8(body)) out.insert(out.size() - 1, kEightBitMark);
    out += body;
    return true;
}

LONG ExportRegFile(HKEY root, const char* subKey, std::string& out, std::string* why, RegFileEncoding encoding) {
    KeyRef ref;
    if (LONG e = ResolveKey(root, ref)) return e;
    std::vector<std::string> names;
    if (LONG e = SplitPath(subKey, names)) return e;
    Tree tree;
    std::string path;
    LONG e = Store::Run(false, [&](Txn& txn) -> LONG {
        KeyId id = 0;
        if (LONG c = txn.CheckKey(ref.id)) return c;
        if (LONG w = WalkPath(txn, ref.id, names, false, id)) return w;
        if (LONG p = txn.Path(id, path)) return p;
        return txn.ReadTree(id, tree);
    });
    if (e) return e;
    std::string reason;
    if (!FormatRegFile(path, tree, out, reason, encoding)) {
        if (why) *why = reason;
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

LONG ReadKeyLevel(HKEY key, Tree& out) {
    KeyRef ref;
    if (LONG e = ResolveKey(key, ref)) return e;
    if ((ref.access & (KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS)) != (KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS))
        return ERROR_ACCESS_DENIED;
    return Store::Run(false, [&](Txn& txn) -> LONG {
        if (LONG c = txn.CheckKey(ref.id)) return c;
        return txn.ReadTree(ref.id, out, 0);
    });
}

}  // namespace pal::reg
