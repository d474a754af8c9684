// Arbitrary bytes as a ReadEventLog buffer: the parser must refuse whatever does not lie
// inside the buffer, and the tool's renderings must only touch what the parser accepted.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/record_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pal::eventlog;
    std::vector<RecordView> records;
    ParseRecords(data, size, records);  // the records before a malformed one still count
    RecordView single;
    if (ParseRecord(data, size, single)) records.push_back(single);
    const MessageFiles none;  // no registry: the fall-back text from the insertion strings
    size_t sink = 0;
    for (const auto& r : records) {
        RecordShow show;
        show.texts = FormatWithFiles(none, r);
        show.user = SidToString(r.sid, r.sidLength);
        show.biasMinutes = static_cast<LONG>(r.header.TimeWritten % 1440) - 720;
        sink += RecordAsText(r, show).size() + RecordAsJson(r, show).size();
    }
    return sink == SIZE_MAX;  // keeps the work observable
}
