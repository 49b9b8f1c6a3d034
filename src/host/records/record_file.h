// A file of records on the station's own disk, one JSON object per line: opened for appending,
// each line on disk (written and synced) before append returns, and locked against other
// processes. The JSON Lines record file and the database's spool are both such files.
#pragma once

#include <memory>
#include <string>

namespace host {

class RecordFile {
  public:
    // Opens PATH for reading and appending, creating it when missing. Null, with the reason in
    // error, when it cannot be opened.
    static std::unique_ptr<RecordFile> open(const std::string &path, std::string &error);
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    const std::string &path() const { return path_; }

    // The exclusive lock on the whole file: lock() waits for it, try_lock() does not. Held until
    // unlock() or until the file is closed.
    bool lock();
    bool try_lock();
    void unlock();

    // Writes LINE (which ends in '\n') at the end and syncs it, beginning on a new line when the
    // last one was cut short (a power loss during an earlier append).
    bool append_line(std::string line, std::string &error);
    // The whole content.
    bool read_all(std::string &text, std::string &error);
    // Empties the file, durably.
    bool truncate(std::string &error);

  private:
    RecordFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    bool last_line_complete();

    const int fd_;
    const std::string path_;
    bool locked_ = false;
};

}  // namespace host
