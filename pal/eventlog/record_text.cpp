#include "pal/eventlog/record_text.h"

#include <cstdio>
#include <ctime>

#include "pal/core/utf8.h"
#include "pal/security/security.h"
#include "pal/thread/thread.h"

namespace pal::eventlog {

namespace {

struct TypeNameEntry {
    WORD type;
    const char* name;
};

constexpr TypeNameEntry kTypeNames[] = {
    {EVENTLOG_ERROR_TYPE, "error"},          {EVENTLOG_WARNING_TYPE, "warning"},
    {EVENTLOG_INFORMATION_TYPE, "information"}, {EVENTLOG_SUCCESS, "success"},
    {EVENTLOG_AUDIT_SUCCESS, "audit-success"}, {EVENTLOG_AUDIT_FAILURE, "audit-failure"},
};

// Length of the valid UTF-8 sequence at p (at most left bytes), 0 when there is none.
size_t Utf8Sequence(const unsigned char* p, size_t left) {
    uint32_t cp = 0;
    return core::Utf8Sequence(p, left, cp);
}

// Text for a terminal: control characters other than tab and line feed as \xNN. A CR LF
// (how message texts end their lines) is a plain line break.
std::string Printable(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Continuation lines of a multi-line value line up under its first line.
std::string Indented(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '\n') out += "           ";
    }
    return out;
}

std::string Quoted(std::string_view s) { return "\"" + JsonEscape(s) + "\""; }

}  // namespace

std::string TypeName(WORD type) {
    for (const auto& e : kTypeNames)
        if (e.type == type) return e.name;
    return "type " + std::to_string(type);
}

bool ParseTypeName(const std::string& name, WORD& type) {
    for (const auto& e : kTypeNames) {
        if (name == e.name) {
            type = e.type;
            return true;
        }
    }
    return false;
}

LONG CurrentBiasMinutes() {
    TIME_ZONE_INFORMATION tzi{};
    DWORD zone = GetTimeZoneInformation(&tzi);
    if (zone == TIME_ZONE_ID_DAYLIGHT) return tzi.Bias + tzi.DaylightBias;
    if (zone == TIME_ZONE_ID_STANDARD) return tzi.Bias + tzi.StandardBias;
    return tzi.Bias;
}

std::string LocalTimeText(DWORD seconds, LONG biasMinutes) {
    time_t local = static_cast<time_t>(seconds) - static_cast<time_t>(biasMinutes) * 60;
    struct tm tm{};
    if (!gmtime_r(&local, &tm)) return "?";
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string HexBytes(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t left = text.size();
    while (left) {
        unsigned char c = *p;
        size_t n = Utf8Sequence(p, left);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || n == 0) {
            // Control characters, and bytes that are not UTF-8 (texts of other code pages),
            // as the code point of the same number, so the output stays valid JSON.
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            n = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        n = n ? n : 1;
        p += n;
        left -= n;
    }
    return out;
}

std::string UserText(const RecordView& r) {
    if (!r.sid) return "";
    char name[256], domain[256];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, const_cast<uint8_t*>(r.sid), name, &nameSize, domain, &domainSize, &use))
        return domainSize ? std::string(domain) + "\\" + name : std::string(name);
    return SidToString(r.sid, r.sidLength);
}

std::string RecordAsText(const RecordView& r, const RecordShow& show) {
    const EVENTLOGRECORD& h = r.header;
    char id[40];
    std::snprintf(id, sizeof id, "0x%08X (event %u)", h.EventID, h.EventID & 0xFFFFu);
    std::string category = std::to_string(h.EventCategory);
    if (!show.texts.category.empty()) category += " (" + Printable(show.texts.category) + ")";
    std::string out;
    out += "Record:    " + std::to_string(h.RecordNumber) + "\n";
    out += "Generated: " + LocalTimeText(h.TimeGenerated, show.biasMinutes) + "\n";
    out += "Written:   " + LocalTimeText(h.TimeWritten, show.biasMinutes) + "\n";
    out += "Source:    " + Printable(r.source) + "\n";
    out += "Type:      " + TypeName(h.EventType) + "\n";
    out += "Category:  " + category + "\n";
    out += std::string("Event ID:  ") + id + "\n";
    out += "User:      " + (show.user.empty() ? std::string("N/A") : Printable(show.user)) + "\n";
    out += "Computer:  " + Printable(r.computer) + "\n";
    out += "Message:   " + Indented(Printable(show.texts.text)) + "\n";
    for (size_t i = 0; i < r.strings.size(); ++i)
        out += "String " + std::to_string(i + 1) + ":  " + Indented(Printable(r.strings[i])) + "\n";
    if (r.dataLength)
        out += "Data:      " + HexBytes(r.data, r.dataLength) + " (" + std::to_string(r.dataLength) + " bytes)\n";
    return out;
}

std::string RecordAsJson(const RecordView& r, const RecordShow& show) {
    const EVENTLOGRECORD& h = r.header;
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", h.EventID);
    std::string out = "{";
    out += "\"number\":" + std::to_string(h.RecordNumber);
    out += ",\"time_generated\":" + Quoted(LocalTimeText(h.TimeGenerated, show.biasMinutes));
    out += ",\"time_written\":" + Quoted(LocalTimeText(h.TimeWritten, show.biasMinutes));
    out += ",\"time_generated_utc\":" + std::to_string(h.TimeGenerated);
    out += ",\"time_written_utc\":" + std::to_string(h.TimeWritten);
    out += ",\"source\":" + Quoted(r.source);
    out += ",\"type\":" + Quoted(TypeName(h.EventType));
    out += ",\"type_value\":" + std::to_string(h.EventType);
    out += ",\"category\":" + std::to_string(h.EventCategory);
    out += ",\"category_text\":" + Quoted(show.texts.category);
    out += std::string(",\"event_id\":\"") + id + "\"";
    out += ",\"event_number\":" + std::to_string(h.EventID & 0xFFFFu);
    out += ",\"user\":" + Quoted(show.user);
    out += ",\"sid\":" + Quoted(SidToString(r.sid, r.sidLength));
    out += ",\"computer\":" + Quoted(r.computer);
    out += ",\"message\":" + Quoted(show.texts.text);
    out += std::string(",\"message_found\":") + (show.texts.found ? "true" : "false");
    out += ",\"strings\":[";
    for (size_t i = 0; i < r.strings.size(); ++i) out += (i ? "," : "") + Quoted(r.strings[i]);
    out += "],\"data\":\"" + HexBytes(r.data, r.dataLength) + "\"}";
    return out;
}

}  // namespace pal::eventlog
