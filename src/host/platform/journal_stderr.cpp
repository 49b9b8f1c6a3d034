#include "host/platform/journal_stderr.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace host {

bool stderr_is_journal() {
#if defined(_WIN32)
    return false;
#else
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) {
        return false;
    }
    struct stat st;
    return fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
#endif
}

int journal_priority(std::string_view line) {
    const auto has = [line](std::string_view word) {
        return line.find(word) != std::string_view::npos;
    };
    // A warning may name what failed; it is still a warning.
    if (has("warning") || has("trying again") || has("interrupted") || has("stopping")) {
        return 4;
    }
    // "FAILED" is a board's line in the station's table, "failed" a board's or a run's end.
    if (has("failed") || has("FAILED") || has("error") || has("cannot ") || has("refused") ||
        has("not handled")) {
        return 3;
    }
    return 6;
}

#if defined(__GLIBC__)

namespace {

// The original standard error, and the line being put together until its newline.
struct JournalLines {
    int fd = STDERR_FILENO;
    std::string line;
};

void write_all(int fd, const std::string &text) {
    size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n <= 0) {
            return;  // standard error gone: nothing left to tell
        }
        at += static_cast<size_t>(n);
    }
}

void emit(JournalLines &j) {
    const std::string prefix = "<" + std::to_string(journal_priority(j.line)) + ">";
    write_all(j.fd, prefix + j.line);
    j.line.clear();
}

ssize_t journal_write(void *cookie, const char *data, size_t size) {
    JournalLines &j = *static_cast<JournalLines *>(cookie);
    for (size_t i = 0; i < size; ++i) {
        j.line.push_back(data[i]);
        if (data[i] == '\n') {
            emit(j);
        }
    }
    return static_cast<ssize_t>(size);
}

int journal_close(void *cookie) {
    JournalLines &j = *static_cast<JournalLines *>(cookie);
    if (!j.line.empty()) {
        j.line.push_back('\n');
        emit(j);
    }
    return 0;
}

}  // namespace

bool prefix_stderr_lines() {
    // Lives as long as the process: stderr is written until its very end.
    static JournalLines lines;
    cookie_io_functions_t io{};
    io.write = journal_write;
    io.close = journal_close;
    FILE *stream = fopencookie(&lines, "w", io);
    if (stream == nullptr) {
        return false;
    }
    // A line reaches the journal whole or not at all, and at once.
    setvbuf(stream, nullptr, _IOLBF, 0);
    stderr = stream;
    return true;
}

#else

bool prefix_stderr_lines() {
    return false;
}

#endif

}  // namespace host
