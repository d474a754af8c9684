// vqtrial: the holders, users, senders, writers and the counting receiver that the
// reliability trials (scripts/trials.sh abandon and load) run as real processes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vqtrial {

extern const char kUsage[];

// Runs one command line (without the program name); the exit code.
int Run(const std::vector<std::string>& args);

// The lock kinds "hold", "keep" and "use" take; false for an unknown name.
bool KnownKind(const std::string& kind);

// Counts the trap markers ("vqtrial:" followed by letters, digits and '-') found in
// datagrams: every datagram, those with a marker, and how often each marker came.
class MarkerCount {
public:
    // The marker in one datagram, "" when it has none.
    static std::string Find(const uint8_t* data, size_t size);
    // Counts one datagram; returns its marker.
    std::string Add(const uint8_t* data, size_t size);
    uint64_t datagrams() const { return datagrams_; }
    uint64_t unmarked() const { return unmarked_; }
    uint64_t distinct() const { return seen_.size(); }
    uint64_t duplicates() const { return duplicates_; }
    std::string Summary() const;

private:
    uint64_t datagrams_ = 0, unmarked_ = 0, duplicates_ = 0;
    std::map<std::string, uint32_t> seen_;
};

}  // namespace vqtrial
