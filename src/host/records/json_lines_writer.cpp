#include <mutex>
#include <vector>

#include "host/records/local_writers.h"
#include "host/records/record_file.h"
#include "host/records/record_json.h"
#include "host/records/record_notes.h"

namespace host {

namespace {

using base::Error;

// One JSON object per line. Every append takes the file's lock, so that two processes never
// interleave their lines. Before each record the writer makes sure its path still names the file
// it has open: a file removed or replaced during the run is made again by its name and given the
// records this run wrote, which would otherwise be lost with the old one.
class JsonLinesWriter : public RecordWriter {
  public:
    JsonLinesWriter(std::unique_ptr<RecordFile> file, RecordNotes notes)
        : file_(std::move(file)), notes_(std::move(notes)) {}

    base::Status append(const DeviceRecord &record) override {
        const std::string line = record_json_line(record);
        const std::lock_guard<std::mutex> in_process(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return followed;
        }
        if (base::Status locked = file_->lock(); !locked.ok()) {
            return locked.error().in("cannot lock the file");
        }
        const base::Result<LineSpan> written = file_->append_line(line);
        file_->unlock();
        if (!written.ok()) {
            return written.error();
        }
        written_.push_back(*written);
        return {};
    }

    void set_notes(RecordNotes notes) override { notes_.set(std::move(notes)); }

    std::string finish() override {
        const std::lock_guard<std::mutex> in_process(mutex_);
        if (base::Status followed = follow_path(); !followed.ok()) {
            return "hidiap: --record: " + followed.message() + "\n";
        }
        return "";
    }

  private:
    // The file the path names now, with this run's records in it.
    base::Status follow_path() {
        const base::Result<bool> named = file_->still_named();
        if (!named.ok()) {
            return named.error().in("cannot tell whether '" + file_->path() + "' is still there");
        }
        if (*named) {
            return {};
        }
        base::Result<std::unique_ptr<RecordFile>> again = RecordFile::open(file_->path());
        if (!again.ok()) {
            return again.error().in("'" + file_->path() +
                                    "' was removed or replaced during the run and cannot be "
                                    "made again");
        }
        base::Result<std::vector<LineSpan>> copied = copy_written(**again);
        if (!copied.ok()) {
            return copied.error().in("'" + file_->path() +
                                     "' was removed or replaced during the run: this run's "
                                     "records cannot be written into it again");
        }
        notes_.say("hidiap: --record: '" + file_->path() +
                   "' was removed or replaced during the run: opened again by its name, and the " +
                   records_word(written_.size()) + " this run wrote into the old file " +
                   "written into it again\n");
        file_ = std::move(*again);
        written_ = std::move(*copied);
        return {};
    }

    // This run's lines, read from the old file (still open) and appended to TO at once: all of
    // them, or (cut back) none.
    base::Result<std::vector<LineSpan>> copy_written(RecordFile &to) {
        std::string lines;
        for (const LineSpan &span : written_) {
            std::string line(static_cast<size_t>(span.length), '\0');
            const base::Result<size_t> got = file_->read_at(span.offset, line.data(), line.size());
            if (!got.ok()) {
                return got.error();
            }
            if (*got != line.size()) {
                return Error(base::ErrorCode::Io,
                             "the old file is shorter than what this run wrote into it");
            }
            lines += line;
        }
        if (base::Status locked = to.lock(); !locked.ok()) {
            return locked.error().in("cannot lock the file");
        }
        const base::Result<uint64_t> at =
            lines.empty() ? base::Result<uint64_t>(0) : to.append_lines(lines);
        to.unlock();
        if (!at.ok()) {
            return at.error();
        }
        std::vector<LineSpan> spans;
        uint64_t offset = *at;
        for (const LineSpan &span : written_) {
            spans.push_back({offset, span.length});
            offset += span.length;
        }
        return spans;
    }

    std::unique_ptr<RecordFile> file_;
    std::vector<LineSpan> written_;  // this run's lines in file_
    WriterNotes notes_;
    std::mutex mutex_;
};

}  // namespace

base::Result<std::unique_ptr<RecordWriter>> open_json_lines_writer(
    const RecordDestination &destination) {
    base::Result<std::unique_ptr<RecordFile>> opened = RecordFile::open(destination.target);
    if (!opened.ok()) {
        return opened.error();
    }
    return std::unique_ptr<RecordWriter>(
        new JsonLinesWriter(std::move(*opened), destination.notes));
}

}  // namespace host
