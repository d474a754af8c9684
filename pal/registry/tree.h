// A key's tree in memory: what hive files, .reg files and RegCopyTree move around.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pal/types.h"

namespace pal::reg {

struct Value {
    std::string name;
    DWORD type = 0;
    std::vector<uint8_t> data;
};

struct Tree {
    std::string name;
    std::vector<Value> values;  // in enumeration order
    std::vector<Tree> keys;     // in enumeration order
};

// Limits of names, in characters.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
// Levels of keys below a root, as on Windows.
constexpr int kMaxDepth = 512;

bool ValidKeyName(const std::string& name);
bool ValidValueName(const std::string& name);

// ASCII-only case folding: names compare like this everywhere.
bool SameName(const std::string& a, const std::string& b);

// Whether a tree holds only valid names, no two keys (or values) of one name under one
// parent, and no more than maxDepth levels of keys below its top (for trees from files).
bool ValidTree(const Tree& tree, int maxDepth = kMaxDepth);

}  // namespace pal::reg
