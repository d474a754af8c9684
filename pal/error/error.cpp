// Last error and message texts. Message templates follow FormatMessage's rules,
// so texts from message modules and the system table expand the same way.
#include "pal/error/error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

thread_local DWORD g_lastError = 0;
pal::ModuleMessageLookup g_moduleLookup = nullptr;

struct SystemText {
    DWORD code;
    const char* text;
};

// Texts end in CR LF as the system's do.
const SystemText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough storage is available to process this command.\r\n"},
    {12, "The access code is invalid.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough storage is available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {21, "The device is not ready.\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {25, "The drive cannot locate a specific area or track on the disk.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {158, "The segment is already unlocked.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {230, "The pipe state is invalid.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {233, "No process is on the other end of the pipe.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {298, "Too many posts were made to a semaphore.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, "Attempt to access invalid address.\r\n"},
    {535, "There is a process on other end of the pipe.\r\n"},
    {536, "Waiting for a process to open the other end of the pipe.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1132, "The base address or the file offset specified does not have the proper alignment.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
           "the system's memory image of the file is corrupted, or the file could not be recovered because the "
           "alternate copy or log was absent or corrupted.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1051, "A stop control has been sent to a service that other running services are dependent on.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1066, "The service has returned a service-specific error code.\r\n"},
    {1168, "Element not found.\r\n"},
    {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, "A specified privilege does not exist.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1305, "The revision level is unknown.\r\n"},
    {1336, "The access control list (ACL) structure is invalid.\r\n"},
    {1337, "The security ID structure is invalid.\r\n"},
    {1338, "The security descriptor structure is invalid.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1500, "The event log file is corrupted.\r\n"},
    {1502, "The event log file is full.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
};

// FormatMessage refuses to build a message longer than this (ERROR_MORE_DATA).
constexpr size_t kMaxMessageBytes = 128 * 1024;

struct ArgArray {
    const DWORD_PTR* values;
};

DWORD_PTR FromArray(void* ctx, unsigned index, char) {
    return static_cast<ArgArray*>(ctx)->values[index - 1];
}

struct ArgVector {
    std::vector<DWORD_PTR> values;
};

DWORD_PTR FromVector(void* ctx, unsigned index, char) {
    auto* v = static_cast<ArgVector*>(ctx);
    return index <= v->values.size() ? v->values[index - 1] : 0;
}

struct InsertSpec {
    std::string printfFlags;  // flags, width and precision
    bool wide64 = false;      // I64 / ll
    char conversion = 's';
    size_t width = 0, precision = 0;
};

size_t Digits(const std::string& body, size_t& i, std::string& into) {
    size_t value = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
        if (value <= kMaxMessageBytes) value = value * 10 + static_cast<size_t>(body[i] - '0');
        into += body[i++];
    }
    return value;
}

// Parses "!spec!" after an insert number; p points just past the number. Only a printf
// conversion's own shape passes to snprintf: flags, width, precision, size, conversion.
const char* ParseInsertSpec(const char* p, InsertSpec& spec) {
    spec = InsertSpec{};
    if (*p != '!') return p;
    const char* end = std::strchr(p + 1, '!');
    if (!end) return p;
    std::string body(p + 1, end);
    size_t i = 0;
    while (i < body.size() && std::strchr("-+ #0", body[i])) spec.printfFlags += body[i++];
    spec.width = Digits(body, i, spec.printfFlags);
    if (i < body.size() && body[i] == '.') {
        spec.printfFlags += body[i++];
        spec.precision = Digits(body, i, spec.printfFlags);
    }
    if (body.compare(i, 3, "I64") == 0) {
        spec.wide64 = true;
        i += 3;
    } else if (body.compare(i, 3, "I32") == 0) {
        i += 3;
    } else {
        if (body.compare(i, 2, "ll") == 0) {
            spec.wide64 = true;
            i += 2;
        }
        while (i < body.size() && (body[i] == 'l' || body[i] == 'h' || body[i] == 'w')) ++i;
    }
    if (i < body.size()) spec.conversion = body[i];
    return end + 1;
}

// Appends one printf conversion, refusing output beyond the message limit.
template <class T>
DWORD AppendPrintf(std::string& out, const std::string& fmt, T value) {
    int n = std::snprintf(nullptr, 0, fmt.c_str(), value);
    if (n < 0) return ERROR_INVALID_PARAMETER;
    if (out.size() + static_cast<size_t>(n) > kMaxMessageBytes) return ERROR_MORE_DATA;
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, fmt.c_str(), value);
    out.resize(at + static_cast<size_t>(n));
    return 0;
}

DWORD FormatInsert(const InsertSpec& spec, DWORD_PTR value, std::string& out) {
    if (spec.width > kMaxMessageBytes || spec.precision > kMaxMessageBytes) return ERROR_MORE_DATA;
    std::string fmt = "%" + spec.printfFlags;
    switch (spec.conversion) {
    case 's':
    case 'S': {
        const char* s = reinterpret_cast<const char*>(value);
        return AppendPrintf(out, fmt + 's', s ? s : "(null)");
    }
    case 'd':
    case 'i':
        if (spec.wide64) return AppendPrintf(out, fmt + "lld", static_cast<long long>(value));
        return AppendPrintf(out, fmt + 'd', static_cast<int>(static_cast<int32_t>(value)));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (spec.wide64) return AppendPrintf(out, fmt + "ll" + spec.conversion, static_cast<unsigned long long>(value));
        return AppendPrintf(out, fmt + spec.conversion, static_cast<unsigned>(static_cast<uint32_t>(value)));
    case 'c':
        return AppendPrintf(out, fmt + 'c', static_cast<int>(value & 0xff));
    case 'p':
        return AppendPrintf(out, fmt + 'p', reinterpret_cast<void*>(value));
    default:
        return 0;
    }
}

// A width other than MAX_WIDTH_MASK: lines of at most that many characters, broken at
// blanks only (a longer word keeps its own line); hard breaks stay where they are.
std::string WrapLines(const std::string& text, size_t width) {
    std::string out;
    size_t lineStart = 0, lastBlank = std::string::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += "\r\n";
            ++i;
            lineStart = out.size();
            lastBlank = std::string::npos;
            continue;
        }
        if (c == ' ' && out.size() - lineStart >= width) {
            out += "\r\n";
            lineStart = out.size();
            lastBlank = std::string::npos;
            continue;
        }
        out += c;
        if (c == ' ') {
            lastBlank = out.size() - 1;
        } else if (out.size() - lineStart > width && lastBlank != std::string::npos) {
            out.replace(lastBlank, 1, "\r\n");
            lineStart = lastBlank + 2;
            lastBlank = std::string::npos;
        }
    }
    return out;
}

// FormatMessage's template expansion. Line breaks of the text itself (CR LF, or a lone CR
// or LF) come out as CR LF, or as one blank each when a width is given; %n is a hard
// break either way. Returns 0 or the Win32 error.
DWORD Expand(const char* tmpl, bool ignoreInserts, DWORD maxWidth, pal::MessageArgument arg, void* ctx,
             std::string& out) {
    out.clear();
    for (const char* p = tmpl; *p;) {
        if (out.size() > kMaxMessageBytes) return ERROR_MORE_DATA;
        char c = *p;
        if (c == '\r' || c == '\n') {
            if (c == '\r' && p[1] == '\n') ++p;
            ++p;
            out += maxWidth ? " " : "\r\n";
            continue;
        }
        if (c != '%') {
            out += c;
            ++p;
            continue;
        }
        char d = p[1];
        if (d >= '1' && d <= '9') {
            const char* start = p;
            unsigned index = static_cast<unsigned>(d - '0');
            p += 2;
            if (*p >= '0' && *p <= '9') index = index * 10 + static_cast<unsigned>(*p++ - '0');
            InsertSpec spec;
            p = ParseInsertSpec(p, spec);
            if (ignoreInserts) {
                out.append(start, p);
                continue;
            }
            if (!arg) return ERROR_INVALID_PARAMETER;
            if (DWORD err = FormatInsert(spec, arg(ctx, index, spec.conversion), out)) return err;
            continue;
        }
        if (d == '0' || d == '\0') break;  // %0: end of message, no trailing line break
        switch (d) {
        case 'n': out += "\r\n"; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += ' '; break;
        default: out += d; break;  // %% %. %! %<blank> give the character itself
        }
        p += 2;
    }
    if (out.size() > kMaxMessageBytes) return ERROR_MORE_DATA;
    if (maxWidth && maxWidth != FORMAT_MESSAGE_MAX_WIDTH_MASK) out = WrapLines(out, maxWidth);
    return 0;
}

}  // namespace

DWORD GetLastError() { return g_lastError; }

void SetLastError(DWORD code) { g_lastError = code; }

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}

namespace pal {

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBUSY: return ERROR_BUSY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case ENODEV:
    case ENXIO: return ERROR_NOT_READY;
    case EFAULT: return ERROR_NOACCESS;
    case E2BIG:
    case EOVERFLOW: return ERROR_INSUFFICIENT_BUFFER;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD SetLastErrorFromErrno(int err) {
    DWORD code = ErrorFromErrno(err);
    SetLastError(code);
    return code;
}

const char* SystemMessageText(DWORD code) {
    for (const auto& t : kSystemTexts)
        if (t.code == code) return t.text;
    return "";
}

void SetModuleMessageLookup(ModuleMessageLookup lookup) { g_moduleLookup = lookup; }

bool ExpandMessage(const char* tmpl, bool ignoreInserts, DWORD maxWidth, MessageArgument arg, void* ctx,
                   std::string& out) {
    DWORD err = Expand(tmpl, ignoreInserts, maxWidth, arg, ctx, out);
    if (err) SetLastError(err);
    return err == 0;
}

}  // namespace pal

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments) {
    std::string tmpl;
    bool found = false;
    DWORD notFound = ERROR_MR_MID_NOT_FOUND;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        tmpl = static_cast<const char*>(source);
        found = true;
    } else {
        bool system = (flags & FORMAT_MESSAGE_FROM_SYSTEM) || !(flags & FORMAT_MESSAGE_FROM_HMODULE);
        if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && g_moduleLookup) {
            // The lookup says why it found nothing: no such id (317), not in that language
            // (1815), no message table in that module (1813).
            DWORD callers = GetLastError();
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            found = g_moduleLookup(const_cast<HMODULE>(source), messageId, languageId, tmpl);
            if (!found && !system) notFound = GetLastError();
            SetLastError(callers);
        }
        if (!found && system) {
            const char* text = pal::SystemMessageText(messageId);
            if (*text) {
                tmpl = text;
                found = true;
            }
        }
    }
    if (!found) {
        SetLastError(notFound);
        return 0;
    }

    bool ignore = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    DWORD maxWidth = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    std::string text;
    DWORD err;
    if (ignore || !arguments) {
        err = Expand(tmpl.c_str(), ignore, maxWidth, nullptr, nullptr, text);
    } else if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
        ArgArray a{reinterpret_cast<const DWORD_PTR*>(arguments)};
        err = Expand(tmpl.c_str(), false, maxWidth, FromArray, &a, text);
    } else {
        // A va_list is read once in insert-number order; the conversion of each number
        // decides how wide its argument is.
        char conv[100] = {};
        bool wide[100] = {};
        unsigned maxIndex = 0;
        for (const char* p = tmpl.c_str(); *p; ++p) {
            if (*p != '%') continue;
            if (p[1] < '1' || p[1] > '9') {
                if (p[1]) ++p;
                continue;
            }
            unsigned index = static_cast<unsigned>(p[1] - '0');
            const char* q = p + 2;
            if (*q >= '0' && *q <= '9') index = index * 10 + static_cast<unsigned>(*q++ - '0');
            InsertSpec spec;
            q = ParseInsertSpec(q, spec);
            conv[index] = spec.conversion;
            wide[index] = spec.wide64;
            maxIndex = std::max(maxIndex, index);
            p = q - 1;
        }
        ArgVector v;
        for (unsigned i = 1; i <= maxIndex; ++i) {
            char k = conv[i] ? conv[i] : 's';
            if (k == 's' || k == 'S' || k == 'p')
                v.values.push_back(reinterpret_cast<DWORD_PTR>(va_arg(*arguments, void*)));
            else if (wide[i])
                v.values.push_back(static_cast<DWORD_PTR>(va_arg(*arguments, unsigned long long)));
            else
                v.values.push_back(static_cast<DWORD_PTR>(va_arg(*arguments, unsigned int)));
        }
        err = Expand(tmpl.c_str(), false, maxWidth, FromVector, &v, text);
    }
    if (err) {
        SetLastError(err);
        return 0;
    }

    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t bytes = std::max<size_t>(text.size() + 1, size);
        char* mem = static_cast<char*>(LocalAlloc(LPTR, bytes));
        if (!mem) return 0;
        std::memcpy(mem, text.c_str(), text.size() + 1);
        *reinterpret_cast<LPSTR*>(buffer) = mem;
    } else {
        if (!buffer || text.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
    }
    return static_cast<DWORD>(text.size());
}
