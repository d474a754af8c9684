// The journal through sd-journal: the local machine's journal, or the journal files of
// one directory (another machine's, or those a test builds).
#pragma once

#include <string>

#include "standins/vqjournal/journal_source.h"

typedef struct sd_journal sd_journal;

namespace vqjournal {

class SdJournalSource : public JournalSource {
public:
    SdJournalSource() = default;
    ~SdJournalSource() override;
    SdJournalSource(const SdJournalSource&) = delete;
    SdJournalSource& operator=(const SdJournalSource&) = delete;

    // Opens the files of directory, or with "" the local journal. False (reason set) when
    // sd-journal refuses.
    bool Open(const std::string& directory, std::string* reason = nullptr);

    bool SeekAfter(const std::string& cursor) override;
    bool SeekHead() override;
    bool SeekTail(std::string& lastCursor) override;
    int Next(JournalEntry& entry, std::string* reason = nullptr) override;
    void Wait(int timeoutMs) override;

private:
    sd_journal* j_ = nullptr;
    std::string skip_;  // after SeekAfter: the cursor's own entry, passed over once seen
};

}  // namespace vqjournal
