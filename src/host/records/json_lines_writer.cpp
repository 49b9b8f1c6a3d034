#include <mutex>

#include "host/records/local_writers.h"
#include "host/records/record_file.h"
#include "host/records/record_json.h"

namespace host {

namespace {

// One JSON object per line. Every append takes the file's lock, so that two processes never
// interleave their lines.
class JsonLinesWriter : public RecordWriter {
  public:
    explicit JsonLinesWriter(std::unique_ptr<RecordFile> file) : file_(std::move(file)) {}

    bool append(const DeviceRecord &record, std::string &error) override {
        const std::string line = record_json_line(record);
        const std::lock_guard<std::mutex> in_process(mutex_);
        if (!file_->lock()) {
            error = "cannot lock the file";
            return false;
        }
        const bool written = file_->append_line(line, error);
        file_->unlock();
        return written;
    }

  private:
    const std::unique_ptr<RecordFile> file_;
    std::mutex mutex_;
};

}  // namespace

std::unique_ptr<RecordWriter> open_json_lines_writer(const std::string &file, std::string &error) {
    std::unique_ptr<RecordFile> opened = RecordFile::open(file, error);
    if (!opened) {
        return nullptr;
    }
    return std::make_unique<JsonLinesWriter>(std::move(opened));
}

}  // namespace host
