// The machine root: one directory (VQ_ROOT) holding the stores, the shared object
// namespace and the mapped drives. Everything the platform layer persists lives under it.
#pragma once

#include <string>

namespace pal::core {

// $VQ_ROOT, or the documented default (/var/lib/vq for root, else ~/.local/share/vq).
// Created on first use. Read once per process.
const std::string& RootDir();

// RootDir() + "/.vq": the platform layer's own state (object namespace, mapping blocks).
const std::string& StateDir();

// mkdir -p; true when the directory exists afterwards.
bool MakeDirs(const std::string& path);

}  // namespace pal::core
