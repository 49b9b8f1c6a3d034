// Where a record writer's notes go (a file made again, the database away and back, records set
// aside): the destination's notes, or those set_notes put in their place; standard error when
// there are none.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "host/records/record_writer.h"

namespace host {

class WriterNotes {
  public:
    explicit WriterNotes(RecordNotes notes) : notes_(std::move(notes)) {}

    void set(RecordNotes notes) {
        const std::lock_guard<std::mutex> lock(mutex_);
        notes_ = std::move(notes);
    }

    // Says LINE (which ends in '\n'). The notes are called outside this object's lock.
    void say(const std::string &line) const {
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
    mutable std::mutex mutex_;
    RecordNotes notes_;
};

inline std::string records_word(size_t n) {
    return std::to_string(n) + (n == 1 ? " record" : " records");
}

}  // namespace host
