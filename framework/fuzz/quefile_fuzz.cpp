// The queue-file reader on any bytes: no record longer than a job record's text, never more
// record text than the input holds, damage reported inside the input, and what was read
// writes back to a file that reads again to the same records without damage.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/quefile.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> records;
    CQueFile::Damage damage;
    CQueFile::Result r = CQueFile::Decode(data, size, records, &damage);
    Check(r == CQueFile::kOk || r == CQueFile::kDamaged);
    size_t total = 0;
    for (const std::string& record : records) {
        Check(record.size() <= CQueFile::kMaxRecord);
        total += record.size();
    }
    Check(total + records.size() <= size);
    if (r == CQueFile::kDamaged) {
        Check(damage.offset <= size && !damage.what.empty());
        Check(damage.record >= records.size());
    }

    const std::string again = CQueFile::Encode(records);
    std::vector<std::string> back;
    Check(CQueFile::Decode(again.data(), again.size(), back, nullptr) == CQueFile::kOk);
    Check(back == records);
    // A file read without damage in the writer's own form is rewritten byte for byte.
    if (r == CQueFile::kOk && again.size() == size) Check(again == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
