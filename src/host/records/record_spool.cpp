#include "host/records/record_spool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "host/records/record_json.h"

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr int kMostStations = 1000;

std::string spool_name(const std::string &database_key, int number) {
    return "postgres-" + database_key + "-" + std::to_string(number) + ".spool";
}

// The file at PATH when this process can hold it; null when another one does.
std::unique_ptr<RecordFile> hold(const std::string &path, std::string &error) {
    std::unique_ptr<RecordFile> file = RecordFile::open(path, error);
    if (file && !file->try_lock()) {
        return nullptr;
    }
    return file;
}

}  // namespace

std::string default_spool_folder() {
#ifdef _WIN32
    const char *local = std::getenv("LOCALAPPDATA");
    return (fs::path(local != nullptr ? local : ".") / "hidiap").string();
#else
    const char *state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/') {
        return (fs::path(state) / "hidiap").string();
    }
    const char *home = std::getenv("HOME");
    return (fs::path(home != nullptr ? home : ".") / ".local" / "state" / "hidiap").string();
#endif
}

std::unique_ptr<RecordSpool> RecordSpool::open(const std::string &file,
                                               const std::string &database_key,
                                               const RecordNotes &notes, std::string &error) {
    if (!file.empty()) {
        std::unique_ptr<RecordFile> own = hold(file, error);
        if (!own) {
            if (error.empty()) {
                error = "another station holds it";
            }
            error = "spool '" + file + "': " + error;
            return nullptr;
        }
        return std::unique_ptr<RecordSpool>(new RecordSpool(std::move(own), notes));
    }
    const std::string folder = default_spool_folder();
    std::error_code made;
    fs::create_directories(folder, made);
    if (made) {
        error = "spool folder '" + folder + "': " + made.message();
        return nullptr;
    }
    std::unique_ptr<RecordSpool> spool;
    for (int n = 1; n <= kMostStations; n++) {
        const std::string path = (fs::path(folder) / spool_name(database_key, n)).string();
        const bool existed = fs::exists(path);
        if (!spool) {
            std::unique_ptr<RecordFile> own = hold(path, error);
            if (own) {
                spool.reset(new RecordSpool(std::move(own), notes));
            } else if (!error.empty()) {
                error = "spool '" + path + "': " + error;
                return nullptr;
            }
            continue;
        }
        if (!existed) {
            // Files are numbered from 1 without gaps, except where one was removed by hand.
            continue;
        }
        std::string ignored;
        if (std::unique_ptr<RecordFile> left = hold(path, ignored)) {
            spool->taken_over_.push_back(std::move(left));
        }
    }
    if (!spool) {
        error = "no free spool file in '" + folder + "'";
    }
    return spool;
}

std::vector<DeviceRecord> RecordSpool::take_leftovers() {
    std::vector<DeviceRecord> records;
    std::vector<RecordFile *> files{own_.get()};
    for (const auto &f : taken_over_) {
        files.push_back(f.get());
    }
    for (RecordFile *file : files) {
        std::string text;
        std::string error;
        if (!file->read_all(text, error)) {
            notes_("hidiap: --record: cannot read the spool '" + file->path() + "': " + error +
                   "\n");
            continue;
        }
        size_t line_number = 0;
        for (size_t at = 0; at < text.size();) {
            const size_t end = text.find('\n', at);
            const bool whole = end != std::string::npos;
            const std::string line = text.substr(at, whole ? end - at : std::string::npos);
            at = whole ? end + 1 : text.size();
            line_number++;
            DeviceRecord r;
            if (line.empty()) {
                continue;
            }
            if (!whole || !record_from_json_line(line, r)) {
                notes_("hidiap: --record: spool '" + file->path() + "' line " +
                       std::to_string(line_number) +
                       " is not a whole record (cut short, perhaps by a power loss): left out\n");
                continue;
            }
            records.push_back(std::move(r));
        }
    }
    // Oldest first across the files, each file's own order kept.
    std::stable_sort(
        records.begin(), records.end(),
        [](const DeviceRecord &a, const DeviceRecord &b) { return a.time_utc < b.time_utc; });
    return records;
}

bool RecordSpool::append(const DeviceRecord &record, std::string &error) {
    return own_->append_line(record_json_line(record), error);
}

bool RecordSpool::clear(std::string &error) {
    if (!own_->truncate(error)) {
        return false;
    }
    for (const auto &f : taken_over_) {
        if (!f->truncate(error)) {
            return false;
        }
    }
    taken_over_.clear();
    return true;
}

}  // namespace host
