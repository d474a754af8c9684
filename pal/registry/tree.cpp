#include "pal/registry/tree.h"

#include <set>

namespace pal::reg {

namespace {

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = Fold(c);
    return out;
}

}  // namespace

bool ValidKeyName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxKeyName && name.find('\\') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool ValidValueName(const std::string& name) {
    return name.size() <= kMaxValueName && name.find('\0') == std::string::npos;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

bool ValidTree(const Tree& tree, int maxDepth) {
    if (maxDepth < 0) return false;
    std::set<std::string> seen;
    for (const Value& v : tree.values)
        if (!ValidValueName(v.name) || !seen.insert(Folded(v.name)).second) return false;
    seen.clear();
    for (const Tree& k : tree.keys)
        if (!ValidKeyName(k.name) || !seen.insert(Folded(k.name)).second || !ValidTree(k, maxDepth - 1)) return false;
    return true;
}

}  // namespace pal::reg
