// The .mc parser and the table of loaded message modules.
//
// Parsing follows the message compiler: statements are "keyword = value" pairs separated
// by white space, a ';' starts a comment line, "Language=name" is followed by text lines
// up to a line holding a single '.', and each text line is stored with CR LF. Ids are
// completed when the next message starts (Severity and Facility may follow MessageId).
//
// Loaded modules live in a process-wide table keyed by handle values that are odd (as
// the system's data-file handles are), so they never collide with a dlopen handle, and
// that are never reused, so a freed handle stays refused.
#include "pal/module/message_table.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "pal/error/error.h"

namespace pal::module {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct Name {
    std::string name;
    DWORD value;
};

const Name* FindName(const std::vector<Name>& names, std::string_view name) {
    for (const auto& n : names)
        if (SameName(n.name, name)) return &n;
    return nullptr;
}

void DefineName(std::vector<Name>& names, std::string name, DWORD value) {
    for (auto& n : names)
        if (SameName(n.name, name)) {
            n.value = value;
            return;
        }
    names.push_back({std::move(name), value});
}

class McParser {
public:
    McParser(std::string_view src, const ParseOptions& options) : src_(src), options_(options) {}

    bool Run(std::vector<MessageEntry>& out, std::string& error) {
        bool ok = Body();
        if (ok) ok = FinishMessage();
        if (ok) ok = CheckDuplicates();
        if (ok && messages_.empty()) ok = Fail("no messages");
        if (!ok) {
            error = "line " + std::to_string(errorLine_) + ": " + error_;
            return false;
        }
        out = std::move(messages_);
        return true;
    }

private:
    struct Pending {
        bool open = false;
        enum { kNext, kPlus, kAbsolute } idKind = kNext;
        DWORD idValue = 0;
        int line = 0;
        MessageEntry entry;
    };

    std::string_view src_;
    ParseOptions options_;
    size_t pos_ = 0;
    int line_ = 1;
    std::string error_;
    int errorLine_ = 0;

    std::vector<Name> severities_{{"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    std::vector<Name> facilities_{{"System", 0x0FF}, {"Application", 0xFFF}};
    std::vector<Name> languages_{{"English", kLangEnglishUs}};
    DWORD severity_ = 0;  // carried from message to message, as the compiler does
    DWORD facility_ = 0;
    std::map<DWORD, DWORD> lastCode_;  // facility -> code of its last message
    Pending pending_;
    std::vector<MessageEntry> messages_;

    bool Fail(std::string why) {
        if (error_.empty()) {
            error_ = std::move(why);
            errorLine_ = line_;
        }
        return false;
    }

    bool AtEnd() const { return pos_ >= src_.size(); }
    char Peek() const { return AtEnd() ? '\0' : src_[pos_]; }
    void Advance() {
        if (src_[pos_++] == '\n') ++line_;
    }
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }
    static bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
    static bool IsIdent(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

    void SkipBlanks() {
        while (!AtEnd() && IsBlank(Peek())) Advance();
    }
    // Blanks, line breaks and comment lines.
    void SkipSpace() {
        for (;;) {
            while (!AtEnd() && (IsBlank(Peek()) || Peek() == '\n')) Advance();
            if (Peek() != ';') return;
            while (!AtEnd() && Peek() != '\n') Advance();
        }
    }
    void SkipLine() {
        while (!AtEnd() && Peek() != '\n') Advance();
        if (!AtEnd()) Advance();
    }

    std::string_view Identifier() {
        size_t start = pos_;
        if (!IsIdentStart(Peek())) return {};
        while (!AtEnd() && IsIdent(Peek())) Advance();
        return src_.substr(start, pos_ - start);
    }

    // A C integer constant: decimal, 0x hex or 0 octal, with optional u/l suffixes.
    bool Number(DWORD& value) {
        size_t start = pos_;
        unsigned base = 10;
        if (Peek() == '0' && pos_ + 1 < src_.size() && (src_[pos_ + 1] == 'x' || src_[pos_ + 1] == 'X')) {
            base = 16;
            pos_ += 2;
        } else if (Peek() == '0') {
            base = 8;
        }
        uint64_t v = 0;
        size_t digits = 0;
        for (; !AtEnd(); ++pos_, ++digits) {
            char c = Peek();
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
                d = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
            else
                break;
            if (d >= base) return Fail("bad digit in number");
            v = v * base + d;
            if (v > 0xFFFFFFFFull) return Fail("number out of range");
        }
        if (digits == 0) {
            pos_ = start;
            return Fail("number expected");
        }
        while (!AtEnd() && (Peek() == 'u' || Peek() == 'U' || Peek() == 'l' || Peek() == 'L')) ++pos_;
        if (IsIdent(Peek())) return Fail("bad number");
        value = static_cast<DWORD>(v);
        return true;
    }

    // "( name = number [: symbol] ... )"
    bool NameList(std::vector<Name>& names, DWORD max, const char* what) {
        SkipSpace();
        if (Peek() != '(') return Fail(std::string("'(' expected after ") + what);
        Advance();
        for (;;) {
            SkipSpace();
            if (AtEnd()) return Fail(std::string("unterminated ") + what);
            if (Peek() == ')') {
                Advance();
                return true;
            }
            std::string_view name = Identifier();
            if (name.empty()) return Fail(std::string("name expected in ") + what);
            SkipBlanks();
            if (Peek() != '=') return Fail("'=' expected after '" + std::string(name) + "'");
            Advance();
            SkipBlanks();
            DWORD value = 0;
            if (!Number(value)) return false;
            if (value > max) return Fail("value of '" + std::string(name) + "' out of range");
            SkipBlanks();
            if (Peek() == ':') {
                Advance();
                SkipBlanks();
                if (Identifier().empty()) return Fail("symbol expected after ':'");
            }
            DefineName(names, std::string(name), value);
        }
    }

    bool RequireMessage(std::string_view keyword) {
        if (!pending_.open) return Fail(std::string(keyword) + " before the first MessageId");
        return true;
    }

    bool FinishMessage() {
        if (!pending_.open) return true;
        Pending& p = pending_;
        if (p.entry.texts.empty()) {
            line_ = p.line;
            return Fail("message has no Language text");
        }
        DWORD code = p.idValue;
        DWORD last = lastCode_.count(facility_) ? lastCode_[facility_] : 0;
        if (p.idKind == Pending::kNext) code = last + 1;
        if (p.idKind == Pending::kPlus) code = last + p.idValue;
        if (code > 0xFFFF) {
            line_ = p.line;
            return Fail("MessageId out of range");
        }
        lastCode_[facility_] = code;
        p.entry.id = MakeMessageId(severity_, options_.customerBit, facility_, code);
        messages_.push_back(std::move(p.entry));
        pending_ = Pending{};
        return true;
    }

    bool CheckDuplicates() {
        std::stable_sort(messages_.begin(), messages_.end(),
                         [](const MessageEntry& a, const MessageEntry& b) { return a.id < b.id; });
        for (size_t i = 1; i < messages_.size(); ++i)
            if (messages_[i].id == messages_[i - 1].id) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(messages_[i].id));
                line_ = 0;
                return Fail(std::string("message id ") + hex + " defined twice");
            }
        return true;
    }

    // Text lines after "Language=name", up to a line that holds a single '.'.
    bool Text(std::string& text) {
        SkipBlanks();
        if (!AtEnd() && Peek() != '\n') return Fail("text must start on the line after Language=");
        if (AtEnd()) return Fail("message text not ended by a line with a single '.'");
        Advance();
        for (;;) {
            if (AtEnd()) return Fail("message text not ended by a line with a single '.'");
            size_t start = pos_;
            while (!AtEnd() && Peek() != '\n') ++pos_;
            std::string_view line = src_.substr(start, pos_ - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!AtEnd()) Advance();
            if (line == ".") return true;
            text.append(line);
            text += "\r\n";
        }
    }

    bool Statement() {
        int keywordLine = line_;
        std::string_view keyword = Identifier();
        if (keyword.empty()) return Fail("keyword expected");
        SkipBlanks();
        if (Peek() != '=') return Fail("'=' expected after " + std::string(keyword));
        Advance();
        SkipBlanks();

        if (SameName(keyword, "MessageId")) {
            if (!FinishMessage()) return false;
            pending_.open = true;
            pending_.line = keywordLine;
            if (Peek() == '+') {
                Advance();
                pending_.idKind = Pending::kPlus;
                return Number(pending_.idValue);
            }
            if (std::isdigit(static_cast<unsigned char>(Peek()))) {
                pending_.idKind = Pending::kAbsolute;
                return Number(pending_.idValue);
            }
            pending_.idKind = Pending::kNext;  // no value: the facility's previous id + 1
            return true;
        }
        if (SameName(keyword, "SeverityNames")) return NameList(severities_, 3, "SeverityNames");
        if (SameName(keyword, "FacilityNames")) return NameList(facilities_, 0xFFF, "FacilityNames");
        if (SameName(keyword, "LanguageNames")) return NameList(languages_, 0xFFFF, "LanguageNames");
        if (SameName(keyword, "MessageIdTypedef")) {
            Identifier();  // only shapes the generated header; may be empty
            return true;
        }
        if (SameName(keyword, "OutputBase")) {
            DWORD base = 0;
            if (!Number(base)) return false;
            return base == 10 || base == 16 ? true : Fail("OutputBase must be 10 or 16");
        }
        if (SameName(keyword, "Severity") || SameName(keyword, "Facility") || SameName(keyword, "SymbolicName") ||
            SameName(keyword, "Language")) {
            if (!RequireMessage(keyword)) return false;
            std::string_view value = Identifier();
            if (value.empty()) return Fail("name expected after " + std::string(keyword) + "=");
            if (SameName(keyword, "SymbolicName")) {
                pending_.entry.symbolicName = value;
                return true;
            }
            if (SameName(keyword, "Severity")) {
                const Name* n = FindName(severities_, value);
                if (!n) return Fail("unknown severity name '" + std::string(value) + "'");
                severity_ = n->value;
                return true;
            }
            if (SameName(keyword, "Facility")) {
                const Name* n = FindName(facilities_, value);
                if (!n) return Fail("unknown facility name '" + std::string(value) + "'");
                facility_ = n->value;
                return true;
            }
            const Name* n = FindName(languages_, value);
            if (!n) return Fail("unknown language name '" + std::string(value) + "'");
            WORD lang = static_cast<WORD>(n->value);
            for (const auto& t : pending_.entry.texts)
                if (t.first == lang) return Fail("language '" + std::string(value) + "' given twice for one message");
            std::string text;
            if (!Text(text)) return false;
            pending_.entry.texts.emplace_back(lang, std::move(text));
            return true;
        }
        return Fail("unknown keyword '" + std::string(keyword) + "'");
    }

    bool Body() {
        if (src_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;  // a UTF-8 byte order mark
        if (src_.find('\0') != std::string_view::npos) return Fail("NUL byte: not a text file");
        for (;;) {
            SkipSpace();
            if (AtEnd()) return true;
            if (!Statement()) return false;
        }
    }
};

std::optional<std::pair<size_t, const std::string*>> Pick(const MessageEntry& m, WORD want) {
    for (size_t i = 0; i < m.texts.size(); ++i)
        if (m.texts[i].first == want) return std::make_pair(i, &m.texts[i].second);
    return std::nullopt;
}

// The table of loaded modules.
struct Loaded {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<const MessageTable>> modules;
    uintptr_t nextSerial = 0x10000;
};

Loaded& Modules() {
    static Loaded* loaded = new Loaded();  // used by FreeLibrary from static destructors
    return *loaded;
}

std::shared_ptr<const MessageTable> TableOf(HMODULE h) {
    Loaded& l = Modules();
    std::lock_guard<std::mutex> g(l.mutex);
    auto it = l.modules.find(reinterpret_cast<uintptr_t>(h));
    return it == l.modules.end() ? nullptr : it->second;
}

// FormatMessage(FROM_HMODULE)'s view of the modules.
bool LookupMessage(HMODULE h, DWORD id, DWORD language, std::string& text) {
    std::shared_ptr<const MessageTable> table = TableOf(h);
    if (!table) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);  // a module without a message table
        return false;
    }
    DWORD err = table->Find(id, language, text);
    if (err) SetLastError(err);
    return err == 0;
}

const bool kLookupInstalled = [] {
    SetModuleMessageLookup(LookupMessage);
    return true;
}();

// Message modules are small; anything larger is no message module.
constexpr off_t kMaxModuleBytes = 16 << 20;

DWORD ReadWholeFile(const std::string& path, std::string& data) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrorFromErrno(errno);
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxModuleBytes) {
        close(fd);
        return ERROR_BAD_EXE_FORMAT;
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    data.resize(got);
    return 0;
}

}  // namespace

bool MessageTable::Parse(std::string_view source, std::string* error, const ParseOptions& options) {
    messages_.clear();
    std::string why;
    McParser parser(source, options);
    if (parser.Run(messages_, why)) return true;
    messages_.clear();
    if (error) *error = why;
    return false;
}

DWORD MessageTable::Find(DWORD id, DWORD language, std::string& text) const {
    auto it = std::lower_bound(messages_.begin(), messages_.end(), id,
                               [](const MessageEntry& m, DWORD v) { return m.id < v; });
    if (it == messages_.end() || it->id != id) return ERROR_MR_MID_NOT_FOUND;
    const MessageEntry& m = *it;
    std::optional<std::pair<size_t, const std::string*>> hit;
    if (language == kLangNeutral || language == kLangUserDefault || language == kLangSystemDefault) {
        hit = Pick(m, kLangNeutral);
        if (!hit) hit = Pick(m, kLangEnglishUs);
        if (!hit && !m.texts.empty()) hit = std::make_pair(size_t{0}, &m.texts.front().second);
    } else if (language <= 0xFFFF) {
        hit = Pick(m, static_cast<WORD>(language));
    }
    if (!hit) return ERROR_RESOURCE_LANG_NOT_FOUND;
    text = *hit->second;
    return 0;
}

DWORD LoadMessageModule(const std::string& path, HMODULE& out) {
    (void)kLookupInstalled;
    std::string data;
    if (DWORD err = ReadWholeFile(path, data)) return err;
    auto table = std::make_shared<MessageTable>();
    if (!table->Parse(data)) return ERROR_BAD_EXE_FORMAT;
    Loaded& l = Modules();
    std::lock_guard<std::mutex> g(l.mutex);
    uintptr_t handle = (l.nextSerial++ << 4) | 1;
    l.modules.emplace(handle, std::move(table));
    out = reinterpret_cast<HMODULE>(handle);
    return 0;
}

bool IsMessageModule(HMODULE h) { return TableOf(h) != nullptr; }

bool FreeMessageModule(HMODULE h) {
    std::shared_ptr<const MessageTable> doomed;  // destroyed outside the lock
    Loaded& l = Modules();
    std::lock_guard<std::mutex> g(l.mutex);
    auto it = l.modules.find(reinterpret_cast<uintptr_t>(h));
    if (it == l.modules.end()) return false;
    doomed = std::move(it->second);
    l.modules.erase(it);
    return true;
}

}  // namespace pal::module
