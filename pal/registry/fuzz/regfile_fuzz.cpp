// Fuzzes the .reg reader. Whatever parses must also survive the writer: the values of
// every parsed key, written out and read again, come back with the same bytes; written in
// UTF-16 (when they are code page 932 text), read and written again, the same file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "pal/registry/regfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<pal::reg::RegEdit> edits;
    pal::reg::RegFileError error;
    if (!pal::reg::ParseRegFile(text, edits, error)) {
        if (error.line < 1) std::abort();
        return 0;
    }
    pal::reg::Tree tree;
    for (const auto& edit : edits) {
        if (edit.kind != pal::reg::RegEdit::kSetValue) continue;
        bool replaced = false;
        for (auto& v : tree.values) {
            if (pal::reg::SameName(v.name, edit.value.name)) {
                v.type = edit.value.type;
                v.data = edit.value.data;
                replaced = true;
            }
        }
        if (!replaced) tree.values.push_back(edit.value);
    }
    std::string out, why;
    if (!pal::reg::FormatRegFile("HKEY_LOCAL_MACHINE\\Fuzz", tree, out, why)) return 0;  // a name with a line break
    std::vector<pal::reg::RegEdit> again;
    if (!pal::reg::ParseRegFile(out, again, error) || again.size() != tree.values.size() + 1) std::abort();
    for (size_t i = 0; i < tree.values.size(); ++i) {
        const auto& v = again[i + 1].value;
        if (v.name != tree.values[i].name || v.type != tree.values[i].type || v.data != tree.values[i].data)
            std::abort();
    }
    std::string wide;
    if (!pal::reg::FormatRegFile("HKEY_LOCAL_MACHINE\\Fuzz", tree, wide, why, pal::reg::RegFileEncoding::kUtf16))
        return 0;  // not code page 932 text
    if (!pal::reg::ParseRegFile(wide, again, error) || again.size() != tree.values.size() + 1) std::abort();
    pal::reg::Tree back;
    for (size_t i = 1; i < again.size(); ++i) back.values.push_back(again[i].value);
    std::string wideAgain;
    if (!pal::reg::FormatRegFile("HKEY_LOCAL_MACHINE\\Fuzz", back, wideAgain, why, pal::reg::RegFileEncoding::kUtf16) ||
        wideAgain != wide)
        std::abort();
    return 0;
}
