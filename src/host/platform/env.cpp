#include "host/platform/env.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

namespace host {

namespace {

std::atomic<Env *> current{nullptr};

// The folder a path is in, for syncing it after a rename: "." for a bare name.
std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string random_suffix(Env &e) {
    uint8_t bytes[6] = {};
    if (!e.random_bytes(bytes, sizeof bytes).ok()) {
        // Still unique within this process: the temporary file is created exclusively anyway.
        static std::atomic<unsigned> counter{0};
        const unsigned n = ++counter;
        std::memcpy(bytes, &n, sizeof n);
    }
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

}  // namespace

const char *file_kind_words(FileKind kind) {
    switch (kind) {
        case FileKind::Missing:
            return "missing";
        case FileKind::Regular:
            return "a regular file";
        case FileKind::Directory:
            return "a directory";
        case FileKind::Fifo:
            return "a FIFO";
        case FileKind::Device:
            return "a device";
        case FileKind::Other:
            return "not a regular file";
    }
    return "not a regular file";
}

base::Result<bool> Env::wait_socket(SocketHandle socket, SocketWait what, SteadyTime deadline) {
    Env &system = system_env();
    return system.wait_socket(socket, what, system.now() + (deadline - now()));
}

Env &env() {
    Env *e = current.load(std::memory_order_acquire);
    return e != nullptr ? *e : system_env();
}

EnvScope::EnvScope(Env &replacement) : previous_(current.exchange(&replacement)) {}

EnvScope::~EnvScope() {
    current.store(previous_);
}

base::Result<std::string> read_file(const std::string &path, uint64_t limit) {
    Env &e = env();
    base::Result<std::unique_ptr<File>> opened = e.open(path, OpenMode::Read);
    if (!opened.ok()) {
        return opened.error();
    }
    File &file = **opened;
    std::string text;
    char chunk[65536];
    for (;;) {
        base::Result<size_t> got = file.read_at(text.size(), chunk, sizeof chunk);
        if (!got.ok()) {
            return got.error();
        }
        if (*got == 0) {
            return text;
        }
        if (text.size() + *got > limit) {
            return base::Error(base::ErrorCode::InvalidInput, "it is larger than the limit of " +
                                                                  std::to_string(limit) + " bytes");
        }
        text.append(chunk, *got);
    }
}

base::Status write_file_atomically(const std::string &path, std::string_view data, bool replace,
                                   bool private_file) {
    Env &e = env();
    const std::string temporary = path + ".tmp-" + random_suffix(e);
    base::Result<std::unique_ptr<File>> created =
        e.open(temporary, private_file ? OpenMode::CreatePrivate : OpenMode::CreateNew);
    if (!created.ok()) {
        return created.error();
    }
    base::Status written = (*created)->append(data);
    if (written.ok()) {
        written = (*created)->sync();
    }
    created->reset();
    if (written.ok()) {
        written = e.rename(temporary, path, replace);
    }
    if (!written.ok()) {
        (void)e.remove(temporary);
        return written;
    }
    // The rename is in place; a folder that cannot be synced leaves it to the system's own time.
    return e.sync_folder(folder_of(path));
}

void end_on_internal_error(const char *what) {
    std::fprintf(stderr, "hidiap: internal error: %s\n", what);
    std::fflush(stderr);
    std::_Exit(kExitInternalError);
}

base::Result<Thread> Thread::start(std::function<void()> body) {
    // What a thread throws cannot reach the program's own handler: the process ends here, with
    // the sentence and the status that handler would give, before anything more is recorded.
    base::Result<std::thread> started = env().spawn([body = std::move(body)] {
        try {
            body();
        } catch (const std::exception &e) {
            end_on_internal_error(e.what());
        } catch (...) {
            end_on_internal_error("an unknown exception");
        }
    });
    if (!started.ok()) {
        return started.error();
    }
    return Thread(std::move(*started));
}

Thread &Thread::operator=(Thread &&other) noexcept {
    if (this != &other) {
        join();
        thread_ = std::move(other.thread_);
    }
    return *this;
}

Thread::~Thread() {
    join();
}

void Thread::join() {
    if (thread_.joinable()) {
        env().join(thread_);
    }
}

}  // namespace host
