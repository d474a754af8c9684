// The copy loop (see copier.h).
#include "standins/vqjournal/copier.h"

#include "pal/windows.h"
#include "standins/vqjournal/entry.h"
#include "standins/vqjournal/log.h"

namespace vqjournal {

bool Copier::Start(std::string& where, std::string& reason) {
    DWORD error = 0;
    std::optional<std::string> cursor = sink_.LastCursor(error);
    if (error != 0) Log("cannot read the System log (error %lu); trying the saved cursor", static_cast<unsigned long>(error));
    if (cursor) {
        where = "after the System log's newest copied entry";
    } else if ((cursor = ReadSavedCursor())) {
        where = cursor->empty() ? "at the journal's head (saved position)" : "after the saved cursor";
    }
    if (cursor && !cursor->empty()) {
        if (source_.SeekAfter(*cursor)) {
            last_ = *cursor;
            return true;
        }
        Log("the cursor %s cannot be used; starting at the journal's tail", cursor->c_str());
        cursor.reset();
    }
    if (cursor) {  // ""
        if (source_.SeekHead()) return true;
        reason = "cannot seek to the journal's head";
        return false;
    }
    std::string tail;
    if (!source_.SeekTail(tail)) {
        reason = "cannot seek to the journal's tail";
        return false;
    }
    where = "at the journal's tail";
    // Saved at once: a run that stops before its first entry must not start at a later
    // tail next time and miss what came in between. An empty journal saves its head.
    last_ = tail;
    dirty_ = true;
    Save();
    return true;
}

bool Copier::Stopping(int waitMs) const { return WaitForSingleObject(stop_, static_cast<DWORD>(waitMs)) == WAIT_OBJECT_0; }

void Copier::Save() {
    if (!dirty_) return;
    if (SaveCursor(last_)) {
        dirty_ = false;
        sinceSave_ = 0;
    }
}

bool Copier::Copy(const JournalEntry& entry) {
    bool complained = false;
    for (;;) {
        DWORD error = 0;
        if (sink_.Write(entry, error)) {
            ++copied_;
            if (complained) Log("writing to the System log works again");
            return true;
        }
        // These two never get better by trying again: the record cannot be stored.
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_LOG_FILE_FULL) {
            ++skipped_;
            Log("the System log refused the entry %s (error %lu); it is not copied", entry.cursor.c_str(),
                static_cast<unsigned long>(error));
            return true;
        }
        if (!complained) {
            Log("cannot write to the System log (error %lu); trying again", static_cast<unsigned long>(error));
            complained = true;
        }
        if (Stopping(kRetryMs)) return false;
    }
}

void Copier::Run(uint64_t maxEntries) {
    bool failing = false;
    while (!Stopping()) {
        if (maxEntries > 0 && read_ >= maxEntries) break;
        JournalEntry entry;
        std::string reason;
        int r = source_.Next(entry, &reason);
        if (r < 0) {
            if (!failing) Log("cannot read the journal (%s); trying again", reason.c_str());
            failing = true;
            if (Stopping(kRetryMs)) break;
            // Back to the last entry handled, wherever the failed read left the reader.
            if (!last_.empty()) source_.SeekAfter(last_);
            continue;
        }
        if (failing) Log("reading the journal works again");
        failing = false;
        if (r == 0) {
            Save();  // caught up: a good moment for the fallback position
            source_.Wait(kWaitMs);
            continue;
        }
        ++read_;
        if (Selected(config_, entry) && !Copy(entry)) break;
        last_ = entry.cursor;
        dirty_ = true;
        if (++sinceSave_ >= kSaveEvery) Save();
    }
    Save();
}

}  // namespace vqjournal
