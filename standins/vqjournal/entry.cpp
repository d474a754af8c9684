// Journal entries as System-log records (see entry.h).
#include "standins/vqjournal/entry.h"

#include <algorithm>
#include <cstring>

#include "pal/eventlog/eventlog.h"

namespace vqjournal {

namespace {

bool Contains(const std::vector<std::string>& list, const std::string* value) {
    return value && std::find(list.begin(), list.end(), *value) != list.end();
}

// Length of the well-formed UTF-8 character at s[i] (2-4 bytes), 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;  // overlong
        if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;  // overlong
        if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

int PriorityOf(const JournalEntry& entry) {
    const std::string* p = entry.Field("PRIORITY");
    if (p && p->size() == 1 && (*p)[0] >= '0' && (*p)[0] <= '7') return (*p)[0] - '0';
    return 6;
}

bool Selected(const Config& config, const JournalEntry& entry) {
    if (static_cast<DWORD>(PriorityOf(entry)) > config.maxPriority) return false;
    if (config.units.empty() && config.identifiers.empty()) return true;
    return Contains(config.units, entry.Field("_SYSTEMD_UNIT")) ||
           Contains(config.identifiers, entry.Field("SYSLOG_IDENTIFIER"));
}

std::string SafeSourceName(const std::string& name) {
    std::string out = name.substr(0, kMaxSourceBytes);
    for (char& c : out) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\') c = '_';
    }
    // A cut must not leave half a UTF-8 character at the end.
    if (name.size() > kMaxSourceBytes) {
        size_t i = out.size();
        while (i > 0 && (static_cast<unsigned char>(out[i - 1]) & 0xC0) == 0x80) --i;
        if (i > 0 && static_cast<unsigned char>(out[i - 1]) >= 0xC0 && Utf8Length(out, i - 1) == 0) out.resize(i - 1);
    }
    return out;
}

std::string SourceOf(const JournalEntry& entry) {
    for (const char* field : {"_SYSTEMD_UNIT", "SYSLOG_IDENTIFIER", "_COMM"}) {
        const std::string* v = entry.Field(field);
        if (!v) continue;
        std::string name = SafeSourceName(*v);
        // Blank names say nothing about the sender; the next field may.
        if (name.find_first_not_of(" _") != std::string::npos) return name;
    }
    return kDefaultSource;
}

WORD EventTypeOf(int priority) {
    if (priority <= 3) return EVENTLOG_ERROR_TYPE;
    if (priority == 4) return EVENTLOG_WARNING_TYPE;
    return EVENTLOG_INFORMATION_TYPE;
}

DWORD EventIdOf(WORD eventType) {
    switch (eventType) {
        case EVENTLOG_ERROR_TYPE: return kEventError;
        case EVENTLOG_WARNING_TYPE: return kEventWarning;
        default: return kEventInformation;
    }
}

std::string InsertionString(const std::string& message) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(message.size(), kMaxMessageBytes) + 4);
    for (size_t i = 0; i < message.size();) {
        unsigned char b = static_cast<unsigned char>(message[i]);
        size_t n = 1;
        std::string piece;
        if (b >= 0x80) {
            n = Utf8Length(message, i);
            if (n > 0) {
                piece = message.substr(i, n);
            } else {
                n = 1;
                piece = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
            }
        } else if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r') || b == 0x7F) {
            piece = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
        } else {
            piece.assign(1, static_cast<char>(b));
        }
        if (out.size() + piece.size() > kMaxMessageBytes) {
            out += kCutMark;
            return out;
        }
        out += piece;
        i += n;
    }
    return out;
}

std::string CursorData(const std::string& cursor) { return kCursorTag + cursor; }

std::string CursorFromData(const uint8_t* data, size_t length) {
    size_t tag = std::strlen(kCursorTag);
    if (!data || length <= tag || std::memcmp(data, kCursorTag, tag) != 0) return "";
    std::string cursor(reinterpret_cast<const char*>(data) + tag, length - tag);
    if (cursor.find('\0') != std::string::npos) return "";
    return cursor;
}

}  // namespace vqjournal
