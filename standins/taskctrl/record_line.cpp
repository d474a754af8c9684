#include "standins/taskctrl/record_line.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace taskctrl {

namespace {

std::string Name(const char* text) { return *text ? std::string(text) : std::string("-"); }

}  // namespace

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0' ||
                             std::isspace(static_cast<unsigned char>(text.back()))))
        text.pop_back();
    return text;
}

std::string EscapeText(const char* text, size_t maxChars) {
    std::string out;
    size_t n = 0;
    for (; text[n] != '\0' && n < maxChars; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    if (text[n] != '\0') out += "...";
    return out;
}

std::string DescribeRecord(const CJobPipeData& r) {
    std::string line = "src " + Name(r.GetSrcNetworkId()) + "/" + Name(r.GetSrcPcName()) + "/" +
                       Name(r.GetSrcProcessName()) + " | dst " + Name(r.GetDstNetworkId()) + "/" +
                       Name(r.GetDstPcName()) + "/" + Name(r.GetDstProcessName());
    char flags[64];
    std::snprintf(flags, sizeof flags, " | excl %02x ans %u serial %u | ", static_cast<unsigned>(r.GetExcl()),
                  static_cast<unsigned>(r.GetAns()), static_cast<unsigned>(r.GetSerialNo()));
    line += flags;
    std::string words;
    for (const std::string* w : {&r.GetStrSJob1(), &r.GetStrSJob2(), &r.GetStrSJob3()}) {
        std::string t = TrimRight(*w);
        if (!words.empty()) words += ' ';
        words += t.empty() ? "-" : EscapeText(t.c_str(), 10);
    }
    line += words;
    if (r.GetExcl() & JOB_EXCL_ANSWER) line += " | result " + std::to_string(r.GetSData1());
    const char* param = r.GetExParam();
    line += " | param(" + std::to_string(std::strlen(param)) + ") \"" + EscapeText(param, kParamShown) + "\"";
    return line;
}

}  // namespace taskctrl
