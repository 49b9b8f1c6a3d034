#include "host/records/record_file.h"

#include <algorithm>

namespace host {

namespace {

using base::Error;

// A failed write is taken back: the file is cut to LENGTH, and the sentence says when even that
// failed.
Error cut_back(File &file, uint64_t length, Error failure) {
    const base::Status cut = file.truncate(length);
    if (cut.ok()) {
        (void)file.sync();
        return failure;
    }
    return Error(failure.code(), failure.message() + " (and it could not be cut back to its " +
                                     std::to_string(length) + " bytes: " + cut.message() + ")");
}

}  // namespace

base::Status regular_or_missing(const std::string &path) {
    const base::Result<FileFacts> facts = env().stat(path);
    if (!facts.ok()) {
        return facts.error();
    }
    if (facts->kind != FileKind::Missing && facts->kind != FileKind::Regular) {
        return Error(base::ErrorCode::InvalidInput,
                     std::string("it is ") + file_kind_words(facts->kind) + ", not a regular file");
    }
    return {};
}

base::Result<std::unique_ptr<RecordFile>> RecordFile::open(const std::string &path) {
    if (base::Status usable = regular_or_missing(path); !usable.ok()) {
        return usable.error();
    }
    base::Result<std::unique_ptr<File>> opened = env().open(path, OpenMode::ReadAppend);
    if (!opened.ok()) {
        return opened.error();
    }
    return std::unique_ptr<RecordFile>(new RecordFile(std::move(*opened)));
}

base::Status RecordFile::lock() {
    return file_->lock(true);
}

base::Status RecordFile::try_lock() {
    return file_->lock(false);
}

void RecordFile::unlock() {
    file_->unlock();
}

base::Result<bool> RecordFile::ends_in_line_end(uint64_t size) {
    if (size == 0) {
        return true;
    }
    char last = '\n';
    const base::Result<size_t> got = file_->read_at(size - 1, &last, 1);
    if (!got.ok()) {
        return got.error();
    }
    return *got != 1 || last == '\n';
}

base::Result<uint64_t> RecordFile::append_lines(std::string_view lines) {
    const base::Result<uint64_t> before = file_->size();
    if (!before.ok()) {
        return before.error();
    }
    const base::Result<bool> whole = ends_in_line_end(*before);
    if (!whole.ok()) {
        return whole.error();
    }
    std::string data;
    if (!*whole) {
        data = "\n";
    }
    data.append(lines);
    if (base::Status written = file_->append(data); !written.ok()) {
        return cut_back(*file_, *before, written.error());
    }
    if (base::Status synced = file_->sync(); !synced.ok()) {
        return cut_back(*file_, *before, synced.error());
    }
    return *before + (*whole ? 0 : 1);
}

base::Result<LineSpan> RecordFile::append_line(std::string_view line) {
    const base::Result<uint64_t> at = append_lines(line);
    if (!at.ok()) {
        return at.error();
    }
    return LineSpan{*at, line.size()};
}

base::Result<size_t> RecordFile::read_at(uint64_t offset, void *buf, size_t size) {
    return file_->read_at(offset, buf, size);
}

base::Result<uint64_t> RecordFile::size() {
    return file_->size();
}

base::Status RecordFile::empty() {
    if (base::Status cut = file_->truncate(0); !cut.ok()) {
        return cut;
    }
    return file_->sync();
}

base::Result<bool> RecordFile::still_named() {
    const base::Result<FileFacts> named = env().stat(path());
    if (!named.ok()) {
        return named.error();
    }
    if (named->kind == FileKind::Missing) {
        return false;
    }
    const base::Result<FileIdentity> open = file_->identity();
    if (!open.ok()) {
        return open.error();
    }
    return named->identity == *open;
}

base::Result<std::optional<LineReader::Line>> LineReader::next() {
    Line line;
    line.number = ++number_;
    for (;;) {
        const size_t end = piece_.find('\n', used_);
        if (end != std::string::npos) {
            if (line.whole && line.text.size() + (end - used_) <= kLongestLine) {
                line.text.append(piece_, used_, end - used_);
            } else {
                line.whole = false;
                line.text.clear();
            }
            used_ = end + 1;
            return std::optional<Line>(std::move(line));
        }
        // The piece is used up without a line end: keep its tail (while the line may still be
        // one of ours) and read the next.
        if (line.whole && line.text.size() + (piece_.size() - used_) <= kLongestLine) {
            line.text.append(piece_, used_, std::string::npos);
        } else {
            line.whole = false;
            line.text.clear();
        }
        piece_.clear();
        used_ = 0;
        if (at_ >= to_) {
            if (line.text.empty() && line.whole) {
                number_--;
                return std::optional<Line>();
            }
            line.whole = false;  // the file ends inside it
            return std::optional<Line>(std::move(line));
        }
        piece_.resize(static_cast<size_t>(std::min<uint64_t>(kPiece, to_ - at_)));
        const base::Result<size_t> got = file_.read_at(at_, piece_.data(), piece_.size());
        if (!got.ok()) {
            piece_.clear();
            return got.error();
        }
        piece_.resize(*got);
        if (*got == 0) {
            at_ = to_;  // the file is shorter than it was: its end is here
        }
        at_ += *got;
    }
}

}  // namespace host
