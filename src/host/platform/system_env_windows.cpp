// The system's Env on Windows. Paths are UTF-8, which the program's manifest makes the code page
// of the system's narrow calls.
#define _CRT_RAND_S
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "host/platform/env.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

ErrorCode code_of(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ErrorCode::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return ErrorCode::PermissionDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ErrorCode::NoSpace;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return ErrorCode::Busy;
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return ErrorCode::InvalidInput;
        default:
            return ErrorCode::Io;
    }
}

std::string message_of(DWORD err) {
    char *text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string words =
        n != 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(err);
    LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.' ||
                              words.back() == ' ')) {
        words.pop_back();
    }
    return words;
}

Error system_error(const char *what, DWORD err) {
    return Error(code_of(err), std::string(what) + ": " + message_of(err));
}

class WindowsFile : public File {
  public:
    WindowsFile(HANDLE handle, std::string path, bool append_mode)
        : File(std::move(path)), handle_(handle), append_mode_(append_mode) {}
    ~WindowsFile() override {
        unlock();
        CloseHandle(handle_);
    }

    base::Result<size_t> read_at(uint64_t offset, void *buf, size_t size) override {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!ReadFile(handle_, buf, want, &got, &at)) {
            const DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF) {
                return size_t{0};
            }
            return system_error("cannot read", err);
        }
        return static_cast<size_t>(got);
    }

    base::Status append(std::string_view data) override {
        size_t done = 0;
        while (done < data.size()) {
            OVERLAPPED at{};
            // Writing at offset 0xFFFFFFFF:FFFFFFFF appends, as O_APPEND does.
            at.Offset = 0xFFFFFFFF;
            at.OffsetHigh = 0xFFFFFFFF;
            const DWORD chunk = data.size() - done > 0x40000000
                                    ? 0x40000000
                                    : static_cast<DWORD>(data.size() - done);
            DWORD wrote = 0;
            if (!WriteFile(handle_, data.data() + done, chunk, &wrote,
                           append_mode_ ? &at : nullptr) ||
                wrote == 0) {
                return system_error("cannot write", GetLastError());
            }
            done += wrote;
        }
        return {};
    }

    base::Result<uint64_t> size() override {
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(handle_, &size)) {
            return system_error("cannot read the size", GetLastError());
        }
        return static_cast<uint64_t>(size.QuadPart);
    }

    base::Status truncate(uint64_t length) override {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(length);
        if (!SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
            return system_error("cannot cut the file back", GetLastError());
        }
        return {};
    }

    base::Status sync() override {
        if (!FlushFileBuffers(handle_)) {
            return system_error("cannot sync", GetLastError());
        }
        return {};
    }

    base::Status lock(bool wait) override {
        OVERLAPPED at{};
        const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
        if (!LockFileEx(handle_, flags, 0, MAXDWORD, MAXDWORD, &at)) {
            const DWORD err = GetLastError();
            return err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING
                       ? Error(ErrorCode::Busy, "another process holds its lock")
                       : system_error("cannot lock", err);
        }
        locked_ = true;
        return {};
    }

    void unlock() override {
        if (locked_) {
            OVERLAPPED at{};
            UnlockFileEx(handle_, 0, MAXDWORD, MAXDWORD, &at);
            locked_ = false;
        }
    }

    base::Result<FileIdentity> identity() override {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(handle_, &info)) {
            return system_error("cannot stat", GetLastError());
        }
        return FileIdentity{
            info.dwVolumeSerialNumber,
            (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    }

  private:
    const HANDLE handle_;
    const bool append_mode_;
    bool locked_ = false;
};

class WindowsEnv : public StandardClockEnv {
  public:
    base::Result<FileFacts> stat(const std::string &path) override {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD err = GetLastError();
            if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
                return FileFacts{};
            }
            return system_error("cannot stat", err);
        }
        FileFacts facts;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            facts.kind = FileKind::Directory;
            return facts;
        }
        const HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return system_error("cannot stat", GetLastError());
        }
        const DWORD type = GetFileType(h);
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        facts.kind = type == FILE_TYPE_DISK   ? FileKind::Regular
                     : type == FILE_TYPE_PIPE ? FileKind::Fifo
                     : type == FILE_TYPE_CHAR ? FileKind::Device
                                              : FileKind::Other;
        if (known) {
            facts.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
            facts.identity = {
                info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
        }
        return facts;
    }

    base::Result<std::unique_ptr<File>> open(const std::string &path, OpenMode mode) override {
        DWORD access = GENERIC_READ;
        DWORD disposition = OPEN_EXISTING;
        switch (mode) {
            case OpenMode::Read:
                break;
            case OpenMode::ReadAppend:
                access |= GENERIC_WRITE;
                disposition = OPEN_ALWAYS;
                break;
            case OpenMode::CreateNew:
            case OpenMode::CreatePrivate:
                // A new file inherits its folder's permissions, which are the user's own under
                // the profile.
                access |= GENERIC_WRITE;
                disposition = CREATE_NEW;
                break;
        }
        const HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return system_error("cannot open", GetLastError());
        }
        if (GetFileType(h) != FILE_TYPE_DISK) {
            CloseHandle(h);
            return Error(ErrorCode::InvalidInput, "it is not a regular file");
        }
        return std::unique_ptr<File>(new WindowsFile(h, path, mode == OpenMode::ReadAppend));
    }

    base::Status rename(const std::string &from, const std::string &to, bool replace) override {
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!MoveFileExA(from.c_str(), to.c_str(), flags)) {
            const DWORD err = GetLastError();
            return !replace && (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
                       ? Error(ErrorCode::Busy, "it exists")
                       : system_error("cannot rename", err);
        }
        return {};
    }

    base::Status remove(const std::string &path) override {
        if (!DeleteFileA(path.c_str())) {
            const DWORD err = GetLastError();
            if (err != ERROR_FILE_NOT_FOUND) {
                return system_error("cannot remove", err);
            }
        }
        return {};
    }

    // MoveFileEx with MOVEFILE_WRITE_THROUGH has made the rename durable already.
    base::Status sync_folder(const std::string &) override { return {}; }

    base::Status create_folders(const std::string &path) override {
        for (size_t at = 0; at <= path.size(); at++) {
            if (at < path.size() && path[at] != '/' && path[at] != '\\') {
                continue;
            }
            const std::string partial = path.substr(0, at);
            if (partial.empty() || (partial.size() == 2 && partial[1] == ':')) {
                continue;
            }
            if (!CreateDirectoryA(partial.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return system_error("cannot create the folder", GetLastError());
            }
        }
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Error(ErrorCode::InvalidInput, "'" + path + "' is not a folder");
        }
        return {};
    }

    base::Result<std::vector<std::string>> list_folder(const std::string &path) override {
        WIN32_FIND_DATAA found{};
        const HANDLE h = FindFirstFileA((path + "\\*").c_str(), &found);
        std::vector<std::string> names;
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = GetLastError();
            if (err == ERROR_FILE_NOT_FOUND) {
                return names;
            }
            return system_error("cannot read the folder", err);
        }
        do {
            const std::string name = found.cFileName;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
        return names;
    }

    base::Status random_bytes(uint8_t *out, size_t size) override {
        for (size_t i = 0; i < size; i += sizeof(unsigned int)) {
            unsigned int value = 0;
            if (rand_s(&value) != 0) {
                return Error(ErrorCode::Io, "the random source failed");
            }
            std::memcpy(out + i, &value, size - i < sizeof value ? size - i : sizeof value);
        }
        return {};
    }

    std::string host_name() override {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof name;
        if (!GetComputerNameA(name, &size)) {
            return "";
        }
        return name;
    }

    base::Result<std::string> real_path(const std::string &path) override {
        return path;  // no sysfs here: the location path comes from SetupAPI
    }

    base::Result<ProgramRun> run_program(
        const std::string &program, const std::vector<std::pair<std::string, std::string>> &extra,
        std::chrono::milliseconds limit) override;

    std::string user_state_folder() override {
        const char *local = std::getenv("LOCALAPPDATA");
        return local != nullptr && *local != '\0' ? local : ".";
    }

    base::Result<bool> wait_socket(SocketHandle socket, SocketWait what,
                                   SteadyTime deadline) override {
        WSAPOLLFD fd{};
        fd.fd = static_cast<SOCKET>(socket);
        fd.events = what == SocketWait::Writable ? POLLWRNORM : POLLRDNORM;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now()).count();
            if (left <= 0) {
                return false;
            }
            const int n = WSAPoll(&fd, 1, static_cast<INT>(left < (1 << 30) ? left + 1 : 1 << 30));
            if (n > 0) {
                return true;
            }
            if (n == SOCKET_ERROR && WSAGetLastError() != WSAEINTR) {
                return system_error("cannot wait for the network",
                                    static_cast<DWORD>(WSAGetLastError()));
            }
        }
    }
};

constexpr size_t kProgramOutputLimit = 64 * 1024;

// This process's environment with each extra variable in place of one of its name (Windows'
// names are not case-sensitive), as the block CreateProcess takes.
std::string environment_block(const std::vector<std::pair<std::string, std::string>> &extra) {
    std::string block;
    if (LPCH own = GetEnvironmentStringsA(); own != nullptr) {
        for (const char *e = own; *e != '\0'; e += std::strlen(e) + 1) {
            const std::string entry = e;
            // Entries such as "=C:=C:\\work" name a drive's folder: their '=' comes first.
            const std::string name = entry.substr(0, entry.find('=', 1));
            const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto &v) {
                return _stricmp(v.first.c_str(), name.c_str()) == 0;
            });
            if (!replaced) {
                block.append(entry).push_back('\0');
            }
        }
        FreeEnvironmentStringsA(own);
    }
    for (const auto &[name, value] : extra) {
        block.append(name + "=" + value).push_back('\0');
    }
    block.push_back('\0');
    return block;
}

base::Result<ProgramRun> WindowsEnv::run_program(
    const std::string &program, const std::vector<std::pair<std::string, std::string>> &extra,
    std::chrono::milliseconds limit) {
    std::string environment = environment_block(extra);
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 0)) {
        return system_error("cannot make a pipe for the program", GetLastError());
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherited, OPEN_EXISTING, 0, nullptr);
    // A job object holds the program and whatever it starts, so that all of them can be ended.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nothing;
    start.hStdOutput = write_end;
    start.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::string command = "\"" + program + "\"";  // its own path only: no arguments, no shell
    const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_NO_WINDOW, environment.data(),
                                        nullptr, &start, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(write_end);
    if (nothing != INVALID_HANDLE_VALUE) {
        CloseHandle(nothing);
    }
    if (!started) {
        CloseHandle(read_end);
        if (job != nullptr) {
            CloseHandle(job);
        }
        return Error(code_of(start_error),
                     "cannot run '" + program + "': " + message_of(start_error));
    }
    if (job != nullptr) {
        AssignProcessToJobObject(job, process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    ProgramRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto left_ms = [&deadline] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() <= 0 ? DWORD{0}
                                 : static_cast<DWORD>(std::min<int64_t>(left.count(), 1000));
    };
    // Its output until every writer has closed the pipe, or its time is up; an anonymous pipe
    // cannot be waited on, so it is looked at between short waits for the program's end.
    for (;;) {
        if (left_ms() == 0) {
            run.timed_out = true;
            break;
        }
        DWORD waiting = 0;
        if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &waiting, nullptr)) {
            break;
        }
        if (waiting > 0) {
            char buffer[4096];
            DWORD n = 0;
            if (!ReadFile(read_end, buffer, std::min<DWORD>(waiting, sizeof buffer), &n, nullptr) ||
                n == 0) {
                break;
            }
            run.output.append(buffer, std::min(static_cast<size_t>(n),
                                               kProgramOutputLimit - std::min(kProgramOutputLimit,
                                                                              run.output.size())));
            continue;
        }
        WaitForSingleObject(process.hProcess, std::min<DWORD>(left_ms(), 20));
    }
    CloseHandle(read_end);
    // One that closed its output early still has until its time is up.
    while (!run.timed_out && WaitForSingleObject(process.hProcess, left_ms()) != WAIT_OBJECT_0) {
        run.timed_out = left_ms() == 0;
    }
    if (run.timed_out) {
        if (job != nullptr) {
            TerminateJobObject(job, 1);
        } else {
            TerminateProcess(process.hProcess, 1);
        }
        WaitForSingleObject(process.hProcess, 5000);
    } else {
        DWORD code = 0;
        run.exit_status = GetExitCodeProcess(process.hProcess, &code) ? static_cast<int>(code) : -1;
    }
    CloseHandle(process.hProcess);
    if (job != nullptr) {
        CloseHandle(job);
    }
    return run;
}

}  // namespace

Env &system_env() {
    static WindowsEnv instance;
    return instance;
}

}  // namespace host
