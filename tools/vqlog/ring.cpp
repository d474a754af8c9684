#include "tools/vqlog/ring.h"

#include <cstdio>

namespace vqlog {

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

bool Digits(std::string_view s, size_t at, size_t n) {
    if (s.size() < at + n) return false;
    for (size_t i = at; i < at + n; ++i)
        if (!Digit(s[i])) return false;
    return true;
}

int Number(std::string_view s, size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (s[i] - '0');
    return v;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool ValidDate(int y, int m, int d) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    return d <= kDays[m - 1] + (m == 2 && LeapYear(y) ? 1 : 0);
}

bool ValidTime(int h, int mi, int s) { return h <= 23 && mi <= 59 && s <= 59; }

// "YYYYMMDD" at `date` and "HHMMSS" at `time`; a two-digit year is 20YY.
bool ValidStamp(std::string_view s, size_t date, size_t yearDigits, size_t time) {
    if (!Digits(s, date, yearDigits + 4) || !Digits(s, time, 6)) return false;
    int y = Number(s, date, yearDigits) + (yearDigits == 2 ? 2000 : 0);
    return ValidDate(y, Number(s, date + yearDigits, 2), Number(s, date + yearDigits + 2, 2)) &&
           ValidTime(Number(s, time, 2), Number(s, time + 2, 2), Number(s, time + 4, 2));
}

bool LineByte(char c) { return c != '\r' && c != '\n'; }

// Fixed-width text field (blank padded, cut by the writer) followed by `sep`.
bool Fixed(std::string_view s, size_t& at, size_t width, char sep) {
    if (s.size() < at + width + 1 || s[at + width] != sep) return false;
    for (size_t i = at; i < at + width; ++i)
        if (!LineByte(s[i])) return false;
    at += width + 1;
    return true;
}

// A "%0Nd" or "%Nu"-style number: at least `width` characters, at most `maxWidth`;
// `sign` allows a leading minus, `blanks` leading blanks (then exactly `width` long).
bool Numeric(std::string_view s, size_t& at, size_t width, size_t maxWidth, bool sign, bool blanks, char sep) {
    size_t i = at;
    if (blanks)
        while (i < s.size() && s[i] == ' ') ++i;
    bool padded = i > at;
    if (sign && i < s.size() && s[i] == '-') ++i;
    size_t firstDigit = i;
    while (i < s.size() && Digit(s[i])) ++i;
    size_t len = i - at;
    if (i == firstDigit || i >= s.size() || s[i] != sep) return false;
    if (len < width || len > maxWidth) return false;
    if (padded && len != width) return false;  // padding only ever fills up to the width
    at = i + 1;
    return true;
}

bool LowerHex(std::string_view s, size_t at, size_t n) {
    if (s.size() < at + n) return false;
    for (size_t i = at; i < at + n; ++i)
        if (!Digit(s[i]) && !(s[i] >= 'a' && s[i] <= 'f')) return false;
    return true;
}

void AppendEscaped(std::string& out, std::string_view s) {
    for (unsigned char c : s) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
}

std::string_view TrimBlanks(std::string_view s) {
    size_t end = s.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1);
}

void ScanMain(const Region& r, std::vector<Record>& out) {
    std::string_view s = r.bytes;
    size_t p = 0;
    while (p < s.size()) {
        if (size_t len = MainRecordLength(s.substr(p))) {
            out.push_back(Record{std::string(s.substr(p, len - 2))});
            p += len;
            continue;
        }
        // Not a record here (the tail of an overwritten one, a torn write): the next
        // candidate is the first byte after a line end.
        size_t eol = s.find("\r\n", p);
        if (eol == std::string_view::npos) break;
        p = eol + 2;
    }
}

void EmitShort(std::string_view line, std::vector<Record>& out) {
    if (ShortHeadLength(line)) out.push_back(Record{std::string(line)});
}

// Complete lines of s from `from`; returns the offset after the last CR LF.
size_t ShortLines(std::string_view s, size_t from, std::vector<Record>& out) {
    size_t p = from;
    for (size_t eol; (eol = s.find("\r\n", p)) != std::string_view::npos; p = eol + 2)
        EmitShort(s.substr(p, eol - p), out);
    return p;
}

ScanResult ScanShort(const std::vector<Region>& regions) {
    ScanResult res;
    if (regions.empty()) return res;
    const Region& last = regions.back();
    if (regions.size() == 1) {
        size_t done = ShortLines(last.bytes, 0, res.records);
        res.resume = last.begin + done;
        return res;
    }
    const Region& older = regions[0];
    std::string_view newer = last.bytes;
    size_t tailAt = ShortLines(older.bytes, 0, res.records);
    std::string_view tail = std::string_view(older.bytes).substr(tailAt);
    size_t eol = newer.find("\r\n");
    if (eol == std::string_view::npos) {
        // The first line behind the wrap is not finished yet: decide the join next time.
        res.resume = tail.empty() ? last.begin : older.begin + tailAt;
        return res;
    }
    std::string_view first = newer.substr(0, eol);
    if (ShortHeadLength(first)) {
        // The older region ended with a whole line; what follows it is left from an
        // earlier pass.
        EmitShort(first, res.records);
    } else if (size_t head = WholeShortHeadLength(tail)) {
        // The wrap tore a line: its head lies before the wrap, the rest behind it. The head
        // was the write that crossed the limit, so whatever follows it at the end of the
        // file was left by an earlier, longer pass and is cut off. With only CR LF behind
        // the wrap the message was written before it, and where that message ends and the
        // leftovers begin cannot be told: the line is joined only when nothing follows the head.
        if (!first.empty() || head == tail.size())
            res.records.push_back(Record{std::string(tail.substr(0, head)) + std::string(first)});
    }
    size_t done = ShortLines(newer, eol + 2, res.records);
    res.resume = last.begin + done;
    return res;
}

}  // namespace

size_t MainHeadLength(std::string_view s) {
    if (s.size() < 16 || s[8] != ',' || s[15] != ',' || !ValidStamp(s, 0, 4, 9)) return 0;
    size_t at = 16;
    if (!Numeric(s, at, 2, 11, true, false, ',')) return 0;   // package number
    if (!Numeric(s, at, 2, 11, true, false, ',')) return 0;   // sub number
    if (!Fixed(s, at, 15, ',')) return 0;                     // PC name
    if (!Fixed(s, at, 8, ',')) return 0;                      // process name
    if (!Numeric(s, at, 10, 10, false, true, ',')) return 0;  // thread id
    if (!Numeric(s, at, 9, 10, false, false, ',')) return 0;  // id code
    if (!Numeric(s, at, 4, 5, false, false, '-')) return 0;   // event code
    if (!LowerHex(s, at, 8) || s.size() <= at + 8 || s[at + 8] != ',') return 0;
    at += 9;
    if (!Fixed(s, at, 30, ',')) return 0;                    // function
    if (!Numeric(s, at, 1, 11, true, false, ',')) return 0;  // level
    return at;
}

size_t MainRecordLength(std::string_view s) {
    size_t head = MainHeadLength(s);
    if (!head) return 0;
    size_t end = head + kMainBody;
    if (s.size() < end + 2 || s[end] != '\r' || s[end + 1] != '\n') return 0;
    return end + 2;
}

size_t ShortHeadLength(std::string_view s) {
    // "YYMMDD HHMMSS procname tid------- EEEE-xxxxxxxx  "
    if (s.size() < 23 || s[6] != ' ' || s[13] != ' ' || s[22] != ' ' || !ValidStamp(s, 0, 2, 7)) return 0;
    for (size_t i = 14; i < 22; ++i)
        if (!LineByte(s[i])) return 0;
    size_t at = 23;
    if (!Numeric(s, at, 10, 11, true, true, ' ')) return 0;  // thread id, "%10d"
    if (s.compare(at, 5, "    -") == 0) {
        at += 5;
    } else if (!Numeric(s, at, 4, 5, false, false, '-')) {
        return 0;
    }
    if (!LowerHex(s, at, 8) || s.compare(at + 8, 2, "  ") != 0) return 0;
    return at + 10;
}

size_t WholeShortHeadLength(std::string_view s) {
    size_t fixed = ShortHeadLength(s);
    if (!fixed) return 0;
    std::string_view field = s.substr(fixed);
    if (field.empty()) return fixed;  // no function name
    size_t n = field.find(' ');
    if (n == std::string_view::npos) n = field.size();
    for (char c : field.substr(0, n))
        if (static_cast<unsigned char>(c) < 0x20) return 0;
    size_t width = n < 32 ? 32 : n + n % 8;
    if (field.size() < width || field.find_first_not_of(' ', n) < width) return 0;
    if (width == n && field.size() > n) return 0;  // the name may go on into what follows
    return fixed + width;
}

ScanResult Scan(Kind kind, const std::vector<Region>& regions) {
    if (kind == Kind::Short) return ScanShort(regions);
    ScanResult res;
    for (const Region& r : regions) ScanMain(r, res.records);
    // Each main record is one write that lands before the position moves past it, so
    // everything up to the end of the last region is final.
    if (!regions.empty()) res.resume = regions.back().begin + regions.back().bytes.size();
    return res;
}

std::string Printable(Kind kind, std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + 16);
    size_t head = kind == Kind::Main ? MainHeadLength(raw) : 0;
    AppendEscaped(out, raw.substr(0, head));
    AppendEscaped(out, TrimBlanks(raw.substr(head)));
    return out;
}

std::string Stamp(Kind kind, std::string_view raw) {
    if (raw.size() < 15) return std::string();
    if (kind == Kind::Main) return std::string(raw.substr(0, 8)) + std::string(raw.substr(9, 6));
    return "20" + std::string(raw.substr(0, 6)) + std::string(raw.substr(7, 6));
}

bool ParseTime(const std::string& text, std::string& stamp) {
    std::string_view t = text;
    std::string digits;
    if (t.size() == 14 && Digits(t, 0, 14)) {
        digits = text;
    } else if ((t.size() == 10 || t.size() == 19) && Digits(t, 0, 4) && t[4] == '-' && Digits(t, 5, 2) && t[7] == '-' &&
               Digits(t, 8, 2)) {
        digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
        if (t.size() == 10) {
            digits += "000000";
        } else if (t[10] == ' ' && Digits(t, 11, 2) && t[13] == ':' && Digits(t, 14, 2) && t[16] == ':' &&
                   Digits(t, 17, 2)) {
            digits += text.substr(11, 2) + text.substr(14, 2) + text.substr(17, 2);
        } else {
            return false;
        }
    } else {
        return false;
    }
    if (!ValidStamp(digits, 0, 4, 8) || Number(digits, 0, 4) == 0) return false;
    stamp = digits;
    return true;
}

}  // namespace vqlog
