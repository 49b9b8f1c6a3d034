// A fresh directory under $TMPDIR (or /tmp) for one run's files, removed when the owner is done
// unless asked to keep it.
#pragma once

#include <string>

namespace soak {

class ScratchDir {
  public:
    // Throws std::runtime_error when no directory can be made.
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

// The whole content of a file, or "" when it cannot be read.
std::string read_text_file(const std::string &path);

}  // namespace soak
