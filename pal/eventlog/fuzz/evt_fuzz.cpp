// Arbitrary bytes as an .evt backup file: the reader must stay inside the bytes, wrap or
// not, and hand back only records the record parser accepts, each small enough to read
// and import; what it kept must render as vqevent prints it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pal/eventlog/backup_reader.h"
#include "pal/eventlog/message.h"
#include "pal/eventlog/record.h"
#include "pal/eventlog/record_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace pal::eventlog;
    const BackupContents backup = ReadBackup(data, size);
    if (backup.damaged && (backup.damage.empty() || backup.damageOffset > size)) std::abort();
    size_t total = 0;
    const MessageFiles none;
    size_t sink = 0;
    for (const auto& image : backup.records) {
        RecordView r;
        if (image.size() > kMaxReadSize || !ParseRecord(image.data(), image.size(), r) ||
            r.header.Length != image.size())
            std::abort();
        total += image.size();
        RecordShow show;
        show.texts = FormatWithFiles(none, r);
        show.user = SidToString(r.sid, r.sidLength);
        sink += RecordAsText(r, show).size() + RecordAsJson(r, show).size();
    }
    // Every record came from the file's bytes (a wrapped one at most once around).
    if (total > size) std::abort();
    return sink == SIZE_MAX;
}
