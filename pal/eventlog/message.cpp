#include "pal/eventlog/message.h"

#include <cctype>
#include <cstdio>

#include "pal/env/env.h"
#include "pal/error/error.h"
#include "pal/eventlog/sources.h"
#include "pal/module/module.h"

namespace pal::eventlog {

namespace {

constexpr unsigned kMaxInserts = 99;  // %1 .. %99

std::string Trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    size_t b = 0;
    while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    return s.substr(b);
}

std::string ExpandEnvironment(const std::string& text) {
    DWORD n = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (n == 0) return "";
    std::string out(n, '\0');
    DWORD size = n;
    n = ExpandEnvironmentStringsA(text.c_str(), out.data(), size);
    if (n == 0 || n > size) return "";  // changed between the calls
    out.resize(n - 1);
    return out;
}

std::vector<std::string> FileList(const std::string& value) {
    std::vector<std::string> files;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos) end = value.size();
        std::string part = Trim(value.substr(start, end - start));
        if (!part.empty()) {
            std::string expanded = Trim(ExpandEnvironment(part));
            if (!expanded.empty()) files.push_back(expanded);
        }
        start = end + 1;
    }
    return files;
}

// Message id from the first file that has it; args null formats without inserts.
bool FromFiles(const std::vector<std::string>& files, DWORD id, const DWORD_PTR* args, std::string& out) {
    for (const auto& file : files) {
        HMODULE module = LoadLibraryExA(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!module) continue;
        char* text = nullptr;
        DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                      (args ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
        DWORD n = FormatMessageA(flags, module, id, 0, reinterpret_cast<LPSTR>(&text), 0,
                                 reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
        FreeLibrary(module);
        if (n && text) {
            out.assign(text, n);
            LocalFree(text);
            while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
            return true;
        }
        if (text) LocalFree(text);
    }
    return false;
}

// "%%NNNN" at pos: the parameter message's text, with end set past the digits.
bool ParameterAt(const MessageFiles& files, const std::string& s, size_t pos, size_t& end, std::string& text) {
    if (s.compare(pos, 2, "%%") != 0) return false;
    end = pos + 2;
    DWORD id = 0;
    while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end])) && end - pos < 12)
        id = id * 10 + static_cast<DWORD>(s[end++] - '0');
    return end > pos + 2 && FromFiles(files.parameter, id, nullptr, text);
}

std::string ReplaceParameters(const MessageFiles& files, const std::string& s) {
    if (files.parameter.empty() || s.find("%%") == std::string::npos) return s;
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t end = 0;
        std::string text;
        if (ParameterAt(files, s, i, end, text)) {
            out += text;
            i = end;
        } else {
            out += s[i++];
        }
    }
    return out;
}

std::string Missing(const RecordView& r) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", r.header.EventID);
    std::string text = "The description for event " + std::to_string(r.header.EventID & 0xFFFF) + " (" + id +
                       ") from source \"" + std::string(r.source) + "\" cannot be found.";
    if (!r.strings.empty()) {
        text += " The record's strings:";
        for (auto s : r.strings) text += " \"" + std::string(s) + "\"";
        text += ".";
    }
    return text;
}

}  // namespace

MessageFiles MessageFilesOf(const std::string& logName, const std::string& source) {
    MessageFiles files;
    if (source.empty()) return files;
    files.event = FileList(SourceValue(logName, source, "EventMessageFile"));
    files.parameter = FileList(SourceValue(logName, source, "ParameterMessageFile"));
    files.category = FileList(SourceValue(logName, source, "CategoryMessageFile"));
    return files;
}

RecordMessage FormatWithFiles(const MessageFiles& files, const RecordView& r) {
    RecordMessage m;
    std::vector<std::string> inserts;
    inserts.reserve(kMaxInserts);
    for (size_t i = 0; i < r.strings.size() && i < kMaxInserts; ++i) {
        std::string s(r.strings[i]);
        size_t end = 0;
        std::string text;
        inserts.push_back(ParameterAt(files, s, 0, end, text) && end == s.size() ? text : s);
    }
    // Inserts the record lacks show as themselves, so a short record still formats.
    for (size_t i = inserts.size(); i < kMaxInserts; ++i) inserts.push_back("%" + std::to_string(i + 1));
    std::vector<DWORD_PTR> args;
    for (const auto& s : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));

    std::string text;
    m.found = !files.event.empty() && FromFiles(files.event, r.header.EventID, args.data(), text);
    m.text = m.found ? ReplaceParameters(files, text) : Missing(r);
    if (r.header.EventCategory && FromFiles(files.category, r.header.EventCategory, nullptr, text))
        m.category = Trim(text);
    return m;
}

RecordMessage FormatRecordTexts(const std::string& logName, const RecordView& record) {
    return FormatWithFiles(MessageFilesOf(logName, std::string(record.source)), record);
}

std::string FormatRecordMessage(const char* logName, const EVENTLOGRECORD* record) {
    RecordView view;
    if (!record || !ParseRecord(record, record->Length, view)) return "";
    return FormatRecordTexts(logName ? logName : "", view).text;
}

}  // namespace pal::eventlog
