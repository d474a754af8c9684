// Command-line parsing for vqevent: options with values, strict numbers and hex bytes.
// Every refusal names the argument it is about.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vqevent {

struct OptionSpec {
    std::string name;  // "--from"
    bool takesValue;
    bool repeatable = false;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;  // name -> values ("" for flags)
    bool help = false;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    const std::string& Value(const std::string& name) const { return options.at(name).back(); }
};

// False with error set ("unknown option '--x'", "--from needs a value", "--id given twice").
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs, ParsedArgs& out,
               std::string& error);

// Decimal or 0x-hexadecimal, the whole text, within [min, max].
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value);

// Pairs of hex digits; blanks and ':' between bytes are allowed.
bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes);

}  // namespace vqevent
