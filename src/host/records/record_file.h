// A file of records on the station's own disk, one JSON object per line: opened for appending,
// each line on disk (written and synced) before append returns, and locked against other
// processes. The JSON Lines record file, the database's spool and the file of records the database
// refused are such files. Only a regular file is one: a FIFO, a device or a directory is refused
// when it is opened, so that nothing is handed to what cannot keep it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "host/platform/env.h"

namespace host {

// Where a line is in its file: its first byte and its length with the '\n'.
struct LineSpan {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// OK when PATH names a regular file or nothing (a file made there); otherwise InvalidInput, with
// what it is ("it is a FIFO, not a regular file").
base::Status regular_or_missing(const std::string &path);

class RecordFile {
  public:
    // Opens PATH for reading and appending, creating it when missing; refused unless it is a
    // regular file (regular_or_missing).
    static base::Result<std::unique_ptr<RecordFile>> open(const std::string &path);

    const std::string &path() const { return file_->path(); }

    // The exclusive lock on the whole file: lock() waits for it, try_lock() does not (Busy when
    // another process holds it). Held until unlock() or until the file is closed.
    base::Status lock();
    base::Status try_lock();
    void unlock();

    // Writes LINE (which ends in '\n') at the end and syncs it, beginning on a new line when the
    // last one was cut short (a power loss during an earlier append). When it cannot be written
    // or synced, the file is cut back to the length it had: no part of the line stays.
    base::Result<LineSpan> append_line(std::string_view line);
    // Appends several whole lines and syncs once, cut back as append_line is on a failure; where
    // the first one starts.
    base::Result<uint64_t> append_lines(std::string_view lines);
    base::Result<size_t> read_at(uint64_t offset, void *buf, size_t size);
    base::Result<uint64_t> size();
    // Empties the file, durably.
    base::Status empty();
    // Whether PATH still names this file: false once it was removed, renamed away or replaced.
    base::Result<bool> still_named();

  private:
    explicit RecordFile(std::unique_ptr<File> file) : file_(std::move(file)) {}
    base::Result<bool> ends_in_line_end(uint64_t size);

    const std::unique_ptr<File> file_;
};

// The lines of a file between two offsets, read in pieces of bounded size: never more of the file
// in memory than a piece and one line, however large the file or however long a "line" without a
// line end (a file of zeros) is.
class LineReader {
  public:
    // Longer lines are no record of ours: skipped, reported as not whole.
    static constexpr size_t kLongestLine = 1 << 20;
    static constexpr size_t kPiece = 1 << 16;

    LineReader(RecordFile &file, uint64_t from, uint64_t to) : file_(file), at_(from), to_(to) {}

    struct Line {
        std::string text;   // without its '\n'
        bool whole = true;  // false: cut short by the end of the file, or too long
        size_t number = 0;  // 1 for the first line read
    };
    // The next line; nullopt at the end.
    base::Result<std::optional<Line>> next();

  private:
    RecordFile &file_;
    uint64_t at_;  // the next byte to read
    const uint64_t to_;
    std::string piece_;
    size_t used_ = 0;  // bytes of piece_ already handed out
    size_t number_ = 0;
};

}  // namespace host
