// Where a record writer's notes go (a file made again, the database away and back, records set
// aside): the destination's notes, or those set_notes put in their place; standard error when
// there are none.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "host/records/record_writer.h"

namespace host {

class WriterNotes {
  public:
    explicit WriterNotes(RecordNotes notes) : notes_(std::move(notes)) {}

    // Puts NOTES in place of the current ones. On return no call to the old notes is under way
    // on any thread, so that what they capture (a station, its panel) may be destroyed.
    void set(RecordNotes notes) {
        RecordNotes old;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            old = std::exchange(notes_, std::move(notes));
        }
        const std::lock_guard<std::mutex> wait(calling_);
    }

    // Says LINE (which ends in '\n'). The notes are called outside the lock that set takes
    // first, so they may take locks of their own, but never call set.
    void say(const std::string &line) const {
        const std::lock_guard<std::mutex> calling(calling_);
        RecordNotes notes;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            notes = notes_;
        }
        if (notes) {
            notes(line);
            return;
        }
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }

  private:
    mutable std::mutex mutex_;    // guards notes_
    mutable std::mutex calling_;  // held while a line is being said
    RecordNotes notes_;
};

inline std::string records_word(size_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

}  // namespace host
