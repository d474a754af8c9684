// vqreg: query, add, delete, import and export registry keys of the machine root.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pal/types.h"

namespace vqreg {

// Runs one command line; returns the exit status (0 done, 1 failed, 2 bad usage).
int Run(int argc, char** argv, FILE* out, FILE* err);

// REG_SZ, reg_dword ... as the type number; false when unknown.
bool TypeFromName(const std::string& name, DWORD& type);
std::string TypeName(DWORD type);

// The bytes a value of this type gets from the --data arguments (see `vqreg add --help`);
// false with why when a datum does not fit the type.
bool EncodeData(DWORD type, const std::vector<std::string>& data, std::vector<uint8_t>& out, std::string& why);

// A value's data as `vqreg query` shows it.
std::string ShowData(DWORD type, const std::vector<uint8_t>& data);

}  // namespace vqreg
