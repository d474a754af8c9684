// The copy loop: positions the reader where the last run stopped, then copies each
// selected entry to the System log until the stop event is set.
//
// Where to resume: the cursor in the newest record of ours in the System log (each record
// carries its entry's cursor, so record and position are written in one transaction);
// when the log holds none of ours (cleared, or overwritten), the registry's Cursor value,
// which the loop saves whenever it has caught up, every kSaveEvery entries and at stop;
// with neither, the journal's tail, whose position is saved at once. A Cursor value ""
// means the journal's head.
#pragma once

#include <cstdint>
#include <string>

#include "pal/types.h"
#include "standins/vqjournal/config.h"
#include "standins/vqjournal/event_sink.h"
#include "standins/vqjournal/journal_source.h"

namespace vqjournal {

class Copier {
public:
    static constexpr uint64_t kSaveEvery = 100;
    static constexpr int kWaitMs = 250;   // one wait for the journal; the stop event is looked at after each
    static constexpr int kRetryMs = 1000; // before writing a refused record again

    Copier(const Config& config, JournalSource& source, EventSink& sink, HANDLE stop)
        : config_(config), source_(source), sink_(sink), stop_(stop) {}

    // Positions the reader; false (reason set) when it could not be positioned at all.
    // where tells what was chosen ("the System log's newest record", ...).
    bool Start(std::string& where, std::string& reason);

    // Copies until the stop event is set (or, with maxEntries > 0, until that many
    // entries were read: the tests' way to run the loop a bounded time).
    void Run(uint64_t maxEntries = 0);

    uint64_t read() const { return read_; }
    uint64_t copied() const { return copied_; }
    uint64_t skipped() const { return skipped_; }  // records the log refused for good
    const std::string& position() const { return last_; }

private:
    bool Stopping(int waitMs = 0) const;
    bool Copy(const JournalEntry& entry);  // false: stopped before the entry was written
    void Save();

    const Config& config_;
    JournalSource& source_;
    EventSink& sink_;
    HANDLE stop_;
    std::string last_;     // cursor of the last entry handled
    bool dirty_ = false;   // last_ is newer than the registry's Cursor
    uint64_t sinceSave_ = 0;
    uint64_t read_ = 0, copied_ = 0, skipped_ = 0;
};

}  // namespace vqjournal
