#include "host/library/unit_supply.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "base/text.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;

// How long a station waits before it asks a database that was away again.
constexpr std::chrono::seconds kRetryAway{5};

std::vector<std::string> words_of(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

bool number_of(const std::string &text, uint64_t &out) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = std::stoull(text);
    return true;
}

std::string numbers_text(const std::vector<uint64_t> &numbers) {
    std::string text;
    for (const uint64_t n : numbers) {
        text += " " + std::to_string(n);
    }
    return text;
}

// The available values in the order they are handed out, and where the journal said so.
void erase_value(std::vector<uint64_t> &values, uint64_t n) {
    const auto it = std::find(values.begin(), values.end(), n);
    if (it != values.end()) {
        values.erase(it);
    }
}

}  // namespace

UnitSeries unit_series(const UnitSource &s) {
    UnitSeries series;
    series.field = s.field.name;
    series.is_list = s.is_list;
    series.first = s.first;
    series.last = s.last;
    series.list = s.list;
    return series;
}

std::string default_unit_journal(const std::string &destination, const std::string &station) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : destination + "\n" + station) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    std::string safe = station;
    for (char &c : safe) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
            c = '_';
        }
    }
    return env().user_state_folder() + "/hidiap/units/" + safe + "-" +
           base::format("%016llx", static_cast<unsigned long long>(hash)) + ".journal";
}

UnitSupply::UnitSupply(std::vector<UnitSource> sources, RecordWriter &writer, std::string station,
                       size_t block)
    : fields_(std::move(sources)),
      writer_(writer),
      station_(std::move(station)),
      block_(std::max<size_t>(block, 1)),
      available_(fields_.size()) {}

UnitSupply::~UnitSupply() = default;

base::Result<std::unique_ptr<UnitSupply>> UnitSupply::open(std::vector<UnitSource> sources,
                                                           RecordWriter &writer,
                                                           const std::string &station,
                                                           const std::string &journal,
                                                           size_t block) {
    std::unique_ptr<UnitSupply> s(new UnitSupply(std::move(sources), writer, station, block));
    const size_t slash = journal.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (base::Status made = env().create_folders(journal.substr(0, slash)); !made.ok()) {
            return made.error().in("cannot make the folder of the unit values' journal");
        }
    }
    base::Result<std::unique_ptr<File>> lock = env().open(journal + ".lock", OpenMode::ReadAppend);
    if (!lock.ok()) {
        return lock.error().in("cannot open the unit values' journal " + journal);
    }
    if (base::Status held = (*lock)->lock(false); !held.ok()) {
        return Error(ErrorCode::Busy, "another station holds the unit values' journal " + journal +
                                          ": give each station its own --station-name");
    }
    s->lock_ = std::move(*lock);
    // What earlier runs left: read whole, then written again as the blocks alone, so that the
    // journal holds no more than the values still available.
    std::string text;
    if (base::Result<std::unique_ptr<File>> old = env().open(journal, OpenMode::Read); old.ok()) {
        base::Result<uint64_t> size = (*old)->size();
        if (!size.ok()) {
            return size.error().in("cannot read the unit values' journal " + journal);
        }
        text.resize(static_cast<size_t>(*size));
        base::Result<size_t> got = (*old)->read_at(0, text.data(), text.size());
        if (!got.ok()) {
            return got.error().in("cannot read the unit values' journal " + journal);
        }
        text.resize(*got);
    }
    if (base::Status read = s->replay(text); !read.ok()) {
        return read.error().in("the unit values' journal " + journal);
    }
    std::string compact;
    for (size_t f = 0; f < s->fields_.size(); f++) {
        if (!s->available_[f].empty()) {
            std::vector<uint64_t> in_order(s->available_[f].rbegin(), s->available_[f].rend());
            compact += "reserved " + s->fields_[f].field.name + numbers_text(in_order) + "\n";
        }
    }
    const std::string fresh = journal + ".new";
    (void)env().remove(fresh);  // a compaction cut short before
    base::Result<std::unique_ptr<File>> out = env().open(fresh, OpenMode::CreateNew);
    base::Status written = out.ok() ? (*out)->append(compact) : base::Status(out.error());
    if (written.ok()) {
        written = (*out)->sync();
    }
    if (written.ok()) {
        out->reset();
        written = env().rename(fresh, journal, true);
    }
    if (written.ok() && slash != std::string::npos && slash > 0) {
        written = env().sync_folder(journal.substr(0, slash));
    }
    base::Result<std::unique_ptr<File>> appending =
        written.ok() ? env().open(journal, OpenMode::ReadAppend)
                     : base::Result<std::unique_ptr<File>>(written.error());
    if (!appending.ok()) {
        return appending.error().in("cannot write the unit values' journal " + journal);
    }
    s->journal_ = std::move(*appending);
    return s;
}

// The journal's lines, each whole one applied in order; a last line cut short by a power loss was
// never acted on (a take returns only once its line is on disk) and is left out.
base::Status UnitSupply::replay(const std::string &text) {
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            break;
        }
        const std::vector<std::string> w = words_of(text.substr(at, end - at));
        at = end + 1;
        if (w.empty()) {
            continue;
        }
        std::vector<uint64_t> numbers;
        for (size_t i = 1; i < w.size(); i++) {
            uint64_t n = 0;
            if (i == 1 && (w[0] == "reserved" || w[0] == "returned")) {
                continue;  // the field's name
            }
            if (!number_of(w[i], n)) {
                return Error(ErrorCode::Corrupt, "a line holds '" + w[i] + "', no value");
            }
            numbers.push_back(n);
        }
        if (w[0] == "reserved" || w[0] == "returned") {
            const auto f = std::find_if(fields_.begin(), fields_.end(), [&](const UnitSource &s) {
                return w.size() > 1 && s.field.name == w[1];
            });
            if (f == fields_.end()) {
                continue;  // a field this run does not write: its values stay reserved
            }
            std::vector<uint64_t> &values = available_[static_cast<size_t>(f - fields_.begin())];
            for (const uint64_t n : numbers) {
                erase_value(values, n);
                if (w[0] == "reserved") {
                    values.insert(values.begin(), n);  // handed out after those before it
                }
            }
        } else if (w[0] == "taken" || w[0] == "back") {
            if (numbers.size() != fields_.size()) {
                return Error(ErrorCode::Corrupt, "a board's values are not one per field");
            }
            for (size_t f = 0; f < fields_.size(); f++) {
                erase_value(available_[f], numbers[f]);
                if (w[0] == "back") {
                    available_[f].push_back(numbers[f]);  // handed out next
                }
            }
        } else {
            return Error(ErrorCode::Corrupt, "a line begins with '" + w[0] + "'");
        }
    }
    return {};
}

// A line that could not be written whole and synced is cut off again: a part of it left in the
// file would run into the next line and make the journal unreadable at the next start.
base::Status UnitSupply::write_line(const std::string &line) {
    if (broken_) {
        return Error(ErrorCode::Io, "an earlier failed write could not be taken back");
    }
    base::Result<uint64_t> size = journal_->size();
    if (!size.ok()) {
        return size.error();
    }
    base::Status written = journal_->append(line);
    if (written.ok()) {
        written = journal_->sync();
    }
    if (!written.ok() && !journal_->truncate(*size).ok()) {
        broken_ = true;
    }
    return written;
}

bool UnitSupply::in_series(size_t field, uint64_t number) const {
    const UnitSource &s = fields_[field];
    if (!s.is_list) {
        return number >= s.first && number <= s.last;
    }
    return std::find(s.list.begin(), s.list.end(), number) != s.list.end();
}

base::Status UnitSupply::reserve_locked(size_t field) {
    base::Result<std::vector<uint64_t>> got =
        writer_.reserve_units(unit_series(fields_[field]), block_, station_);
    if (!got.ok()) {
        retry_after_ = env().now() + kRetryAway;
        return got.error();
    }
    if (got->empty()) {
        return {};
    }
    // On disk before any of them is handed out; should the station die first, they are a gap.
    if (base::Status kept =
            write_line("reserved " + fields_[field].field.name + numbers_text(*got) + "\n");
        !kept.ok()) {
        return kept.error().in("cannot write the unit values' journal");
    }
    std::vector<uint64_t> &values = available_[field];
    values.insert(values.begin(), got->rbegin(), got->rend());
    return {};
}

std::optional<BoardUnitValues> UnitSupply::recorded(const std::string &serial) {
    base::Result<BoardHistory> history = writer_.board_history(serial);
    if (!history.ok() || history->units.empty()) {
        return std::nullopt;
    }
    const std::vector<uint64_t> numbers = units_numbers(fields_, history->units);
    if (numbers.empty()) {
        return std::nullopt;
    }
    return board_unit_values(fields_, numbers);
}

void UnitSupply::report_timing(std::function<void(const std::string &)> note) {
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = std::move(note);
}

base::Result<std::optional<BoardUnitValues>> UnitSupply::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    const SteadyTime started = env().now();
    double reserving_ms = -1;
    if (used_up_) {
        return std::optional<BoardUnitValues>();
    }
    std::vector<uint64_t> numbers;
    for (size_t f = 0; f < fields_.size(); f++) {
        std::vector<uint64_t> &values = available_[f];
        // Values of an earlier run's series that this run does not take from stay reserved.
        while (!values.empty() && !in_series(f, values.back())) {
            values.pop_back();
        }
        // The next block is asked for while this one lasts: the database may be away later.
        const bool low = values.size() <= block_ / 2;
        if (low && env().now() >= retry_after_) {
            const SteadyTime asked = env().now();
            const base::Status reserved = reserve_locked(f);
            reserving_ms = std::max(reserving_ms, 0.0) +
                           std::chrono::duration<double, std::milli>(env().now() - asked).count();
            if (!reserved.ok() && values.empty()) {
                return reserved.error();
            }
        }
        while (!values.empty() && !in_series(f, values.back())) {
            values.pop_back();
        }
        if (values.empty()) {
            if (env().now() < retry_after_) {
                return Error(ErrorCode::Unavailable,
                             "the records database is away and this station's block of values "
                             "is spent");
            }
            used_up_ = true;
            return std::optional<BoardUnitValues>();
        }
        numbers.push_back(values.back());
    }
    std::string line = "taken";
    for (const uint64_t n : numbers) {
        line += " " + std::to_string(n);
    }
    if (base::Status kept = write_line(line + "\n"); !kept.ok()) {
        return kept.error().in("cannot write the unit values' journal");
    }
    for (size_t f = 0; f < fields_.size(); f++) {
        available_[f].pop_back();
    }
    if (timing_) {
        const double ms = std::chrono::duration<double, std::milli>(env().now() - started).count();
        timing_(reserving_ms < 0
                    ? base::format("hidiap: unit values: taken in %.3f ms from the block\n", ms)
                    : base::format("hidiap: unit values: taken in %.3f ms, %.3f ms of it reserving "
                                   "a block\n",
                                   ms, reserving_ms));
    }
    return std::optional<BoardUnitValues>(board_unit_values(fields_, numbers));
}

void UnitSupply::give_back(const BoardUnitValues &values) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (values.numbers.size() != fields_.size() ||
        !write_line("back" + numbers_text(values.numbers) + "\n").ok()) {
        return;  // not said on disk: the values stay used up, a gap rather than a risk
    }
    for (size_t f = 0; f < fields_.size(); f++) {
        available_[f].push_back(values.numbers[f]);
    }
    used_up_ = false;
}

bool UnitSupply::used_up() const {
    return used_up_.load();
}

std::vector<size_t> UnitSupply::available() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> sizes;
    for (const std::vector<uint64_t> &v : available_) {
        sizes.push_back(v.size());
    }
    return sizes;
}

std::string UnitSupply::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string note;
    for (size_t f = 0; f < fields_.size(); f++) {
        std::vector<uint64_t> &values = available_[f];
        if (values.empty()) {
            continue;
        }
        const std::string &name = fields_[f].field.name;
        const base::Status returned = writer_.return_units(name, values, station_);
        if (returned.ok() && write_line("returned " + name + numbers_text(values) + "\n").ok()) {
            values.clear();
            continue;
        }
        std::vector<uint64_t> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        note += base::format(
            "hidiap: unit values: %zu values of %s (%s to %s) stay reserved for this station and "
            "unused, gaps unless it runs again: %s\n",
            sorted.size(), name.c_str(),
            formats::unit_text(fields_[f].field, sorted.front()).c_str(),
            formats::unit_text(fields_[f].field, sorted.back()).c_str(),
            returned.ok() ? "the journal could not be written" : returned.message().c_str());
    }
    return note;
}

}  // namespace host
