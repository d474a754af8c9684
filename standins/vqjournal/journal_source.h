// Where the journal entries come from. The service only needs to position a reader (after
// a cursor, at the head, at the tail), take entries one by one and wait for more with a
// time-out so it notices its stop event; the sd-journal reader does this for the real
// journal and the tests put a fake in its place.
#pragma once

#include <map>
#include <string>

namespace vqjournal {

struct JournalEntry {
    std::string cursor;                         // names the entry for a later SeekAfter
    std::map<std::string, std::string> fields;  // name -> value (bytes as stored)

    // The field's value, or nullptr when the entry has none.
    const std::string* Field(const std::string& name) const {
        auto it = fields.find(name);
        return it == fields.end() ? nullptr : &it->second;
    }
};

class JournalSource {
public:
    virtual ~JournalSource() = default;

    // Next() returns the entry after the one the cursor names. An entry that no longer
    // exists (vacuumed, or from another journal) positions at the first entry after the
    // place it would have had. False when the cursor cannot be used at all.
    virtual bool SeekAfter(const std::string& cursor) = 0;
    // Next() returns the oldest entry.
    virtual bool SeekHead() = 0;
    // Next() returns only entries added from now on. lastCursor gets the cursor of the
    // newest entry present ("" when the journal is empty).
    virtual bool SeekTail(std::string& lastCursor) = 0;

    // 1 with the next entry, 0 when there is none yet, -1 on a read error (reason set).
    virtual int Next(JournalEntry& entry, std::string* reason = nullptr) = 0;

    // Returns when the journal may have changed or after timeoutMs.
    virtual void Wait(int timeoutMs) = 0;
};

}  // namespace vqjournal
