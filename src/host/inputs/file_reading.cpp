#include "host/inputs/file_reading.h"

namespace host {

std::string system_reason(const base::Error &e) {
    const std::string &m = e.message();
    for (const char *verb : {"cannot open: ", "cannot read: "}) {
        const std::string prefix = verb;
        if (m.compare(0, prefix.size(), prefix) == 0) {
            return m.substr(prefix.size());
        }
    }
    return m;
}

base::Result<std::unique_ptr<File>> open_regular(const std::string &path) {
    Env &e = env();
    const base::Result<FileFacts> facts = e.stat(path);
    if (facts.ok() && facts->kind != FileKind::Missing && facts->kind != FileKind::Regular) {
        return base::Error(
            base::ErrorCode::InvalidInput,
            std::string("is ") + file_kind_words(facts->kind) + ", not a regular file");
    }
    base::Result<std::unique_ptr<File>> opened = e.open(path, OpenMode::Read);
    if (!opened.ok()) {
        if (opened.code() == base::ErrorCode::InvalidInput) {
            // It became something else since the look above.
            return base::Error(base::ErrorCode::InvalidInput, "is not a regular file");
        }
        return base::Error(opened.code(), system_reason(opened.error()));
    }
    return opened;
}

base::Result<std::vector<uint8_t>> read_whole(const std::string &path, uint64_t limit) {
    base::Result<std::unique_ptr<File>> opened = open_regular(path);
    if (!opened.ok()) {
        if (opened.code() == base::ErrorCode::InvalidInput) {
            return base::Error(opened.code(), "it " + opened.message());
        }
        return opened.error();
    }
    File &file = **opened;
    std::vector<uint8_t> out;
    uint8_t chunk[65536];
    for (;;) {
        const base::Result<size_t> got = file.read_at(out.size(), chunk, sizeof chunk);
        if (!got.ok()) {
            return base::Error(got.code(), system_reason(got.error()));
        }
        if (*got == 0) {
            return out;
        }
        if (out.size() + *got > limit) {
            return base::Error(base::ErrorCode::InvalidInput, "it is larger than the limit of " +
                                                                  std::to_string(limit) + " bytes");
        }
        out.insert(out.end(), chunk, chunk + *got);
    }
}

std::vector<uint8_t> read_head(const std::string &path, size_t size) {
    base::Result<std::unique_ptr<File>> opened = open_regular(path);
    if (!opened.ok()) {
        return {};
    }
    std::vector<uint8_t> head(size);
    const base::Result<size_t> got = (*opened)->read_at(0, head.data(), head.size());
    head.resize(got.ok() ? *got : 0);
    return head;
}

}  // namespace host
