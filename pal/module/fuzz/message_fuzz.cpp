// Fuzz target: arbitrary bytes as a message-text module, then every text of every
// language formatted as FormatMessage would, with a fixed array of insertion strings (so
// any %1..%99 has an argument). The bytes are also expanded as a template of their own.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "pal/error/error.h"
#include "pal/module/message_table.h"

namespace {

struct Inserts {
    std::string texts[99];
    DWORD_PTR values[99];
    Inserts() {
        for (int i = 0; i < 99; ++i) {
            texts[i] = "insert" + std::to_string(i + 1) + (i % 3 == 0 ? "\r\nwith a break" : "");
            values[i] = reinterpret_cast<DWORD_PTR>(texts[i].c_str());
        }
    }
};

DWORD_PTR Argument(void* ctx, unsigned index, char) {
    return static_cast<Inserts*>(ctx)->values[index - 1];
}

void ExpandAllWays(const std::string& tmpl, Inserts& inserts) {
    std::string out;
    for (DWORD width : {0u, 20u, static_cast<unsigned>(FORMAT_MESSAGE_MAX_WIDTH_MASK)}) {
        if (pal::ExpandMessage(tmpl.c_str(), false, width, Argument, &inserts, out)) {
            // Under a width no line break of the text survives except the hard ones.
            if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK && tmpl.find('%') == std::string::npos &&
                out.find_first_of("\r\n") != std::string::npos)
                __builtin_trap();
        }
        pal::ExpandMessage(tmpl.c_str(), true, width, nullptr, nullptr, out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Inserts inserts;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    pal::module::MessageTable table;
    std::string error;
    if (table.Parse(bytes, &error)) {
        for (const auto& m : table.Messages()) {
            std::string text;
            if (table.Find(m.id, 0x400, text) != 0) __builtin_trap();  // every message has a text
            for (const auto& [lang, t] : m.texts) {
                // 0x400 and 0x800 ask for the default text, not for a language of that id:
                // a text a module declares under either is found only when it is the default.
                const bool defaultId = lang == 0x400 || lang == 0x800;
                if (table.Find(m.id, lang, text) != 0 || (!defaultId && text != t)) __builtin_trap();
                ExpandAllWays(t, inserts);
            }
        }
    } else if (error.empty()) {
        __builtin_trap();  // a refusal always says why
    }

    ExpandAllWays(std::string(bytes.substr(0, bytes.find('\0'))), inserts);
    return 0;
}
