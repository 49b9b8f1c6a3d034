#include "host/records/record_spool.h"

#include <optional>

#include "host/records/record_json.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

constexpr int kMostStations = 1000;

std::string spool_name(const std::string &database_key, int number) {
    return "postgres-" + database_key + "-" + std::to_string(number) + ".spool";
}

// NAME in FOLDER, with the separator the folder's own name uses (a '\\' in a Windows profile's).
std::string joined(const std::string &folder, const std::string &name) {
    const char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) {
        return folder + name;
    }
    return folder + separator + name;
}

// The file at PATH when this process can hold it; Busy when another one does.
base::Result<std::unique_ptr<RecordFile>> hold(const std::string &path) {
    base::Result<std::unique_ptr<RecordFile>> file = RecordFile::open(path);
    if (!file.ok()) {
        return file;
    }
    if (base::Status locked = (*file)->try_lock(); !locked.ok()) {
        return locked.error();
    }
    return file;
}

std::string not_whole(const std::string &path, size_t line) {
    return "hidiap: --record: spool '" + path + "' line " + std::to_string(line) +
           " is not a whole record (cut short, perhaps by a power loss): left out\n";
}

}  // namespace

// One file's leftovers: the lines it held when taken, read as they are sent.
struct RecordSpool::Source {
    RecordFile *file;
    uint64_t end;
    LineReader reader;
    std::optional<DeviceRecord> head;  // the next record, read ahead for the merge by time
    bool done = false;
    bool unread = false;  // a read failed: the file keeps what it holds

    Source(RecordFile &f, uint64_t size) : file(&f), end(size), reader(f, 0, size) {}

    // Reads ahead to the next whole record, skipping what is none.
    base::Status fill() {
        while (!head && !done) {
            base::Result<std::optional<LineReader::Line>> line = reader.next();
            if (!line.ok()) {
                done = unread = true;
                return line.error();
            }
            if (!*line) {
                done = true;
            } else if ((*line)->whole && !(*line)->text.empty()) {
                base::Result<DeviceRecord> record = record_from_json_line((*line)->text);
                if (record.ok()) {
                    head = std::move(*record);
                }
            }
        }
        return {};
    }
};

std::string default_spool_folder() {
    return joined(env().user_state_folder(), "hidiap");
}

RecordSpool::RecordSpool(std::unique_ptr<RecordFile> own, RecordNotes notes)
    : path_(own->path()), notes_(std::move(notes)), own_(std::move(own)) {}

RecordSpool::~RecordSpool() = default;

base::Result<std::unique_ptr<RecordSpool>> RecordSpool::open(const std::string &file,
                                                             const std::string &database_key,
                                                             const RecordNotes &notes) {
    std::unique_ptr<RecordSpool> spool;
    if (!file.empty()) {
        base::Result<std::unique_ptr<RecordFile>> own = hold(file);
        if (!own.ok()) {
            const std::string why =
                own.code() == ErrorCode::Busy ? "another station holds it" : own.message();
            return Error(own.code(), "spool '" + file + "': " + why);
        }
        spool.reset(new RecordSpool(std::move(*own), notes));
    } else {
        const std::string folder = default_spool_folder();
        if (base::Status made = env().create_folders(folder); !made.ok()) {
            return made.error().in("spool folder '" + folder + "'");
        }
        for (int n = 1; n <= kMostStations; n++) {
            const std::string path = joined(folder, spool_name(database_key, n));
            const base::Result<FileFacts> facts = env().stat(path);
            const bool existed = !facts.ok() || facts->kind != FileKind::Missing;
            if (!spool) {
                base::Result<std::unique_ptr<RecordFile>> own = hold(path);
                if (own.ok()) {
                    spool.reset(new RecordSpool(std::move(*own), notes));
                } else if (own.code() != ErrorCode::Busy) {
                    return own.error().in("spool '" + path + "'");
                }
            } else if (existed) {
                // Files are numbered from 1 without gaps, except where one was removed by hand.
                if (base::Result<std::unique_ptr<RecordFile>> left = hold(path); left.ok()) {
                    spool->taken_over_.push_back(std::move(*left));
                }
            }
        }
        if (!spool) {
            return Error(ErrorCode::Busy, "no free spool file in '" + folder + "'");
        }
    }
    if (base::Status counted = spool->count_leftovers(); !counted.ok()) {
        return counted.error();
    }
    return spool;
}

// One pass over what the files hold, a piece at a time: how many records wait, and which lines
// are none (said once, here).
base::Status RecordSpool::count_leftovers() {
    std::vector<RecordFile *> files{own_.get()};
    for (const auto &f : taken_over_) {
        files.push_back(f.get());
    }
    for (RecordFile *file : files) {
        const base::Result<uint64_t> size = file->size();
        if (!size.ok()) {
            return size.error().in("spool '" + file->path() + "'");
        }
        sources_.emplace_back(*file, *size);
        LineReader reader(*file, 0, *size);
        for (;;) {
            base::Result<std::optional<LineReader::Line>> line = reader.next();
            if (!line.ok()) {
                notes_("hidiap: --record: cannot read the spool '" + file->path() +
                       "': " + line.message() + "\n");
                sources_.back().done = sources_.back().unread = true;
                break;
            }
            if (!*line) {
                break;
            }
            if ((*line)->whole && (*line)->text.empty()) {
                continue;
            }
            if (!(*line)->whole || !record_from_json_line((*line)->text).ok()) {
                notes_(not_whole(file->path(), (*line)->number));
                continue;
            }
            leftovers_++;
        }
    }
    return {};
}

size_t RecordSpool::leftovers() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return leftovers_;
}

base::Result<std::vector<DeviceRecord>> RecordSpool::take_leftovers(size_t max) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceRecord> records;
    while (records.size() < max) {
        Source *oldest = nullptr;
        for (Source &s : sources_) {
            if (base::Status filled = s.fill(); !filled.ok()) {
                // Nothing more is read; every file keeps what it holds for the next run (what
                // was sent already is stored once however often it is sent).
                leftovers_ = 0;
                for (Source &other : sources_) {
                    other.done = other.unread = true;
                }
                return filled.error().in("cannot read the spool '" + s.file->path() + "'");
            }
            if (s.head && (oldest == nullptr || s.head->time_utc < oldest->head->time_utc)) {
                oldest = &s;
            }
        }
        if (oldest == nullptr) {
            leftovers_ = 0;
            break;
        }
        records.push_back(std::move(*oldest->head));
        oldest->head.reset();
        if (leftovers_ > 0) {
            leftovers_--;
        }
    }
    return records;
}

base::Status RecordSpool::append(const std::string &line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const base::Result<LineSpan> written = own_->append_line(line);
    if (!written.ok()) {
        return written.error();
    }
    return {};
}

base::Status RecordSpool::set_aside(const std::string &line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!refused_) {
        base::Result<std::unique_ptr<RecordFile>> opened = RecordFile::open(refused_path());
        if (!opened.ok()) {
            return opened.error();
        }
        refused_ = std::move(*opened);
    }
    if (base::Status locked = refused_->lock(); !locked.ok()) {
        return locked;
    }
    const base::Result<LineSpan> written = refused_->append_line(line);
    refused_->unlock();
    if (!written.ok()) {
        return written.error();
    }
    return {};
}

base::Status RecordSpool::clear() {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A file that could not be read whole keeps what it holds: the next run tries again (and
    // what the database took already is stored once, however often it is sent).
    const auto unread = [this](RecordFile *file) {
        for (const Source &s : sources_) {
            if (s.file == file && s.unread) {
                return true;
            }
        }
        return false;
    };
    own_kept_ = own_kept_ || unread(own_.get());
    if (!own_kept_) {
        if (base::Status emptied = own_->empty(); !emptied.ok()) {
            return emptied.error().in("cannot empty the spool '" + path_ + "'");
        }
    }
    for (const auto &f : taken_over_) {
        if (!unread(f.get())) {
            if (base::Status emptied = f->empty(); !emptied.ok()) {
                return emptied.error().in("cannot empty the spool '" + f->path() + "'");
            }
        }
    }
    // What the files held is sent: nothing more to read from them, and the taken-over ones go.
    sources_.clear();
    taken_over_.clear();
    return {};
}

}  // namespace host
