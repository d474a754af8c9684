// sd-journal reader (see sd_journal_source.h).
#include "standins/vqjournal/sd_journal_source.h"

#include <systemd/sd-journal.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace vqjournal {

namespace {

// The fields the service looks at; the others are never fetched.
constexpr const char* kFields[] = {"MESSAGE", "PRIORITY", "_SYSTEMD_UNIT", "SYSLOG_IDENTIFIER", "_COMM"};

// Large enough for every message the service keeps (it cuts them far below this) and for
// the byte that tells a cut one from one that is exactly at the bound.
constexpr size_t kDataThreshold = 64 * 1024;

std::string Why(const char* what, int r) { return std::string(what) + ": " + std::strerror(-r); }

}  // namespace

SdJournalSource::~SdJournalSource() {
    if (j_) sd_journal_close(j_);
}

bool SdJournalSource::Open(const std::string& directory, std::string* reason) {
    if (j_) sd_journal_close(j_);
    j_ = nullptr;
    int r = directory.empty() ? sd_journal_open(&j_, SD_JOURNAL_LOCAL_ONLY)
                              : sd_journal_open_directory(&j_, directory.c_str(), 0);
    if (r < 0) {
        j_ = nullptr;
        if (reason) *reason = Why(directory.empty() ? "sd_journal_open" : "sd_journal_open_directory", r);
        return false;
    }
    sd_journal_set_data_threshold(j_, kDataThreshold);
    return true;
}

bool SdJournalSource::SeekAfter(const std::string& cursor) {
    skip_.clear();
    if (!j_ || sd_journal_seek_cursor(j_, cursor.c_str()) < 0) return false;
    skip_ = cursor;
    return true;
}

bool SdJournalSource::SeekHead() {
    skip_.clear();
    return j_ && sd_journal_seek_head(j_) >= 0;
}

bool SdJournalSource::SeekTail(std::string& lastCursor) {
    skip_.clear();
    lastCursor.clear();
    if (!j_ || sd_journal_seek_tail(j_) < 0) return false;
    // Stepping back onto the newest entry anchors the position there: Next() then moves
    // past it to entries added later.
    if (sd_journal_previous(j_) > 0) {
        char* c = nullptr;
        if (sd_journal_get_cursor(j_, &c) >= 0) {
            lastCursor = c;
            free(c);
        }
    }
    return true;
}

int SdJournalSource::Next(JournalEntry& entry, std::string* reason) {
    if (!j_) {
        if (reason) *reason = "the journal is not open";
        return -1;
    }
    int r = sd_journal_next(j_);
    // The cursor's own entry comes first when it still exists; it was handled before.
    if (r > 0 && !skip_.empty()) {
        bool same = sd_journal_test_cursor(j_, skip_.c_str()) > 0;
        skip_.clear();
        if (same) r = sd_journal_next(j_);
    }
    if (r < 0) {
        if (reason) *reason = Why("sd_journal_next", r);
        return -1;
    }
    if (r == 0) return 0;
    entry.fields.clear();
    entry.cursor.clear();
    char* c = nullptr;
    r = sd_journal_get_cursor(j_, &c);
    if (r < 0) {
        if (reason) *reason = Why("sd_journal_get_cursor", r);
        return -1;
    }
    entry.cursor = c;
    free(c);
    for (const char* name : kFields) {
        const void* data = nullptr;
        size_t length = 0;
        if (sd_journal_get_data(j_, name, &data, &length) < 0) continue;
        size_t prefix = std::strlen(name) + 1;  // "NAME="
        if (length < prefix) continue;
        entry.fields[name] = std::string(static_cast<const char*>(data) + prefix, length - prefix);
    }
    return 1;
}

void SdJournalSource::Wait(int timeoutMs) {
    // Without change notification (no inotify watches left, say) the wait fails at once;
    // sleeping instead keeps the loop from spinning, and Next() still sees new entries.
    if (!j_ || sd_journal_wait(j_, static_cast<uint64_t>(timeoutMs) * 1000) < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
}

}  // namespace vqjournal
