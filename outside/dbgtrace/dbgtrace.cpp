// The trace library. Each handle owns its own descriptor of the key's file, opened with
// O_APPEND; a line is built whole in memory and written under an exclusive flock, so lines
// from threads, handles and processes sharing a key never interleave.
#include "outside/dbgtrace/dbgtrace.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "pal/core/root.h"
#include "pal/windows.h"

namespace {

struct Trace {
    int fd = -1;
    ~Trace() {
        if (fd >= 0) close(fd);
    }
};

std::mutex g_lock;
std::map<DWORD, std::shared_ptr<Trace>> g_traces;
DWORD g_next = 1;

// Callers check GetLastError after their own calls and may trace in between.
class KeepErrors {
public:
    KeepErrors() : errno_(errno), last_(GetLastError()) {}
    ~KeepErrors() {
        SetLastError(last_);
        errno = errno_;
    }

private:
    int errno_;
    DWORD last_;
};

bool ValidUtf8(const std::string& s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len;
        unsigned min;
        unsigned cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

void AppendHex(std::string& out, unsigned char c) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
}

// Text that is not UTF-8 is taken as code page 932 (the gatherer's Japanese texts); bytes
// that are not CP932 either, or all high bytes when glibc lacks the converter, become \xHH.
std::string ToUtf8(const std::string& s) {
    if (ValidUtf8(s)) return s;
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (unsigned char c : s) {
            if (c < 0x80)
                out += static_cast<char>(c);
            else
                AppendHex(out, c);
        }
        return out;
    }
    char* in = const_cast<char*>(s.data());
    size_t inLeft = s.size();
    char chunk[1024];
    while (inLeft > 0) {
        char* o = chunk;
        size_t oLeft = sizeof chunk;
        size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(chunk, static_cast<size_t>(o - chunk));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ: one bad byte; EINVAL: a lead byte cut off at the end.
            AppendHex(out, static_cast<unsigned char>(*in));
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return out;
}

// One call, one line: control characters (tab and line ends included) become \xHH.
void AppendField(std::string& line, const std::string& text) {
    for (unsigned char c : ToUtf8(text)) {
        if (c < 0x20 || c == 0x7F)
            AppendHex(line, c);
        else
            line += static_cast<char>(c);
    }
}

std::string Format(const char* format, va_list args) {
    if (!format) return {};
    va_list measure;
    va_copy(measure, args);
    char small[512];
    int n = vsnprintf(small, sizeof small, format, measure);
    va_end(measure);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

void WriteAll(int fd, const std::string& line) {
    if (flock(fd, LOCK_EX) != 0) return;
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
    }
    flock(fd, LOCK_UN);
}

}  // namespace

std::string dbgtrace::TraceFilePath(const char* key) {
    std::string path = pal::core::RootDir() + "/trace/";
    const char* k = key && *key ? key : "_";
    for (; *k; ++k) path += (*k == '\\' || *k == '/') ? '_' : *k;
    path += ".log";
    return path;
}

DWORD OpenLogManager(const char* key, DWORD, DWORD, DWORD, DWORD, DWORD) {
    KeepErrors keep;
    try {
        std::string path = dbgtrace::TraceFilePath(key);
        pal::core::MakeDirs(pal::core::RootDir() + "/trace");
        auto trace = std::make_shared<Trace>();
        trace->fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (trace->fd < 0) return 0;
        std::lock_guard<std::mutex> guard(g_lock);
        while (g_next == 0 || g_traces.count(g_next)) ++g_next;
        DWORD handle = g_next++;
        g_traces.emplace(handle, std::move(trace));
        return handle;
    } catch (...) {
        return 0;
    }
}

void DebugLogDataEx(DWORD handle, DWORD level, const char* label, const char* format,
                    va_list args) {
    if (handle == 0) return;
    KeepErrors keep;
    try {
        std::shared_ptr<Trace> trace;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            auto it = g_traces.find(handle);
            if (it == g_traces.end()) return;
            trace = it->second;
        }
        std::string text = Format(format, args);
        SYSTEMTIME t;
        GetLocalTime(&t);
        char head[96];
        snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u\t%u\t%u\t",
                 t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                 static_cast<unsigned>(GetCurrentThreadId()), static_cast<unsigned>(level));
        std::string line = head;
        line.reserve(line.size() + text.size() + 64);
        AppendField(line, label ? label : "");
        line += '\t';
        AppendField(line, text);
        line += '\n';
        WriteAll(trace->fd, line);
    } catch (...) {
    }
}

void DebugLogData(DWORD handle, DWORD level, const char* label, const char* format, ...) {
    if (handle == 0) return;
    va_list args;
    va_start(args, format);
    DebugLogDataEx(handle, level, label, format, args);
    va_end(args);
}

void CloseLogManager(DWORD handle) {
    if (handle == 0) return;
    KeepErrors keep;
    std::shared_ptr<Trace> trace;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_traces.find(handle);
    if (it == g_traces.end()) return;
    trace = std::move(it->second);  // closed here unless a writer still holds it
    g_traces.erase(it);
}
