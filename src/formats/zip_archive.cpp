#include "formats/zip_archive.h"

#include <zip.h>

#include <cstring>
#include <set>

#include "base/text.h"
#include "formats/shown_text.h"

namespace formats {

namespace {

using base::Error;
using base::ErrorCode;

Error refused(std::string why) {
    return Error(ErrorCode::InvalidInput, std::move(why));
}

std::string quoted(const std::string &name) {
    return "'" + shown(name) + "'";
}

voidpf memory_open(voidpf opaque, const void *, int) {
    static_cast<MemoryStream *>(opaque)->pos = 0;
    return opaque;
}

uLong memory_read(voidpf, voidpf stream, void *buf, uLong size) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    const size_t left = m.pos < m.size ? m.size - m.pos : 0;
    const size_t n = size < left ? size : left;
    if (n > 0)
        std::memcpy(buf, m.in + m.pos, n);
    m.pos += n;
    return static_cast<uLong>(n);
}

uLong memory_write(voidpf, voidpf stream, const void *buf, uLong size) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    if (m.out == nullptr)
        return 0;
    if (m.out->size() < m.pos + size)
        m.out->resize(m.pos + size);
    std::memcpy(m.out->data() + m.pos, buf, size);
    m.pos += size;
    return size;
}

ZPOS64_T memory_tell(voidpf, voidpf stream) {
    return static_cast<MemoryStream *>(stream)->pos;
}

long memory_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    MemoryStream &m = *static_cast<MemoryStream *>(stream);
    const size_t size = m.out != nullptr ? m.out->size() : m.size;
    uint64_t from = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        from = m.pos;
    if (origin == ZLIB_FILEFUNC_SEEK_END)
        from = size;
    if (offset > size || from + offset > size)
        return -1;
    m.pos = static_cast<size_t>(from + offset);
    return 0;
}

int memory_close(voidpf, voidpf) {
    return 0;
}

int memory_error(voidpf, voidpf) {
    return 0;
}

zlib_filefunc64_def memory_functions(MemoryStream &m) {
    zlib_filefunc64_def f;
    f.zopen64_file = memory_open;
    f.zread_file = memory_read;
    f.zwrite_file = memory_write;
    f.ztell64_file = memory_tell;
    f.zseek64_file = memory_seek;
    f.zclose_file = memory_close;
    f.zerror_file = memory_error;
    f.opaque = &m;
    return f;
}

// The names of the compression methods a zip may give, for the refusal of one not read here.
const char *method_name(unsigned method) {
    switch (method) {
        case 9:
            return "Deflate64";
        case 12:
            return "bzip2";
        case 14:
            return "LZMA";
        case 93:
            return "Zstandard";
        case 95:
            return "XZ";
        case 98:
            return "PPMd";
        default:
            return "an unknown method";
    }
}

}  // namespace

ZipReader::ZipReader(const uint8_t *data, size_t size) {
    stream_.in = data;
    stream_.size = size;
    functions_ = memory_functions(stream_);
    zip_ = unzOpen2_64("package", &functions_);
}

ZipReader::~ZipReader() {
    if (zip_ != nullptr)
        unzClose(zip_);
}

base::Status ZipReader::check() const {
    if (zip_ == nullptr) {
        return refused("not a readable zip archive");
    }
    std::set<std::string> names;
    for (int at = unzGoToFirstFile(zip_); at == UNZ_OK; at = unzGoToNextFile(zip_)) {
        unz_file_info64 info;
        char name[1024];
        if (unzGetCurrentFileInfo64(zip_, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            return refused("the archive's list of members is damaged");
        }
        const std::string whole(
            name, info.size_filename < sizeof name ? info.size_filename : sizeof name - 1);
        if (!names.insert(whole).second) {
            return refused("the archive holds two members named " + quoted(whole) +
                           "; readers of it could take either");
        }
    }
    return {};
}

bool ZipReader::has(const std::string &name) const {
    return unzLocateFile(zip_, name.c_str(), 1) == UNZ_OK;
}

std::vector<std::string> ZipReader::names() const {
    std::vector<std::string> out;
    if (zip_ == nullptr) {
        return out;
    }
    for (int at = unzGoToFirstFile(zip_); at == UNZ_OK; at = unzGoToNextFile(zip_)) {
        unz_file_info64 info;
        char name[1024];
        if (unzGetCurrentFileInfo64(zip_, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK) {
            break;
        }
        out.emplace_back(name,
                         info.size_filename < sizeof name ? info.size_filename : sizeof name - 1);
    }
    return out;
}

uint32_t ZipReader::dos_time(const std::string &name) const {
    unz_file_info64 info;
    if (!has(name) ||
        unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return 0;
    }
    return static_cast<uint32_t>(info.dosDate);
}

base::Result<std::vector<uint8_t>> ZipReader::extract(const std::string &name,
                                                      uint64_t limit) const {
    const std::string member = "member " + quoted(name);
    if (!has(name)) {
        return refused("the archive has no member " + quoted(name));
    }
    unz_file_info64 info;
    if (unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return refused("the entry of " + quoted(name) + " is damaged");
    }
    if (info.uncompressed_size > limit) {
        return refused(member + " is " + std::to_string(info.uncompressed_size) +
                       " bytes, larger than the limit of " + std::to_string(limit) + " bytes");
    }
    // minizip would hand over the bytes of a method it lacks, or of an encrypted member, as
    // they are stored; they would then only fail their checksum.
    if ((info.flag & 1) != 0) {
        return Error(ErrorCode::Unsupported,
                     member + " is encrypted; a package's members are stored in the clear");
    }
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
        return Error(ErrorCode::Unsupported,
                     base::format("%s is compressed with method %lu (%s), which this hidiap "
                                  "does not read; only stored and deflated members are",
                                  member.c_str(), info.compression_method,
                                  method_name(static_cast<unsigned>(info.compression_method))));
    }
    if (unzOpenCurrentFile(zip_) != UNZ_OK) {
        return refused(member +
                       ": its local header does not match its entry in the archive's list "
                       "of members (its name, compression or sizes differ): the archive is "
                       "damaged");
    }
    if (base::Status same = check_local_name(name, info); !same.ok()) {
        unzCloseCurrentFile(zip_);
        return same.error();
    }
    std::vector<uint8_t> out;
    uint8_t chunk[16384];
    int got;
    // The header's size is only a claim: the data itself is held to the limit too.
    while ((got = unzReadCurrentFile(zip_, chunk, sizeof chunk)) > 0 && out.size() <= limit) {
        out.insert(out.end(), chunk, chunk + got);
    }
    const int closed = unzCloseCurrentFile(zip_);  // checks the member's CRC-32
    if (out.size() > limit) {
        return refused(member + " holds more than the limit of " + std::to_string(limit) +
                       " bytes");
    }
    if (got < 0 || closed != UNZ_OK) {
        return refused(member +
                       " is damaged (its data does not decompress or its CRC-32 does not "
                       "match)");
    }
    return out;
}

// minizip compares the length of the local header's name with the list's, not the name: two
// readers, one going by the list and one by the local headers, would see other members.
base::Status ZipReader::check_local_name(const std::string &name,
                                         const unz_file_info64 &info) const {
    const ZPOS64_T data_at = unzGetCurrentFileZStreamPos64(zip_);
    const int extra = unzGetLocalExtrafield(zip_, nullptr, 0);
    const uint64_t length = info.size_filename;
    if (extra < 0 || data_at > stream_.size || data_at < length + static_cast<uint64_t>(extra)) {
        return refused("the local header of member " + quoted(name) + " is damaged");
    }
    const size_t at = static_cast<size_t>(data_at - static_cast<uint64_t>(extra) - length);
    const std::string local(reinterpret_cast<const char *>(stream_.in + at),
                            static_cast<size_t>(length));
    if (local != name) {
        return refused("member " + quoted(name) + " is named " + quoted(local) +
                       " in its local header: the archive's list of members and its data "
                       "disagree about what it holds");
    }
    return {};
}

base::Result<std::vector<uint8_t>> zip_of(
    const std::vector<std::pair<std::string, std::string_view>> &members, uint32_t dos_time) {
    std::vector<uint8_t> out;
    MemoryStream stream;
    stream.out = &out;
    zlib_filefunc64_def functions = memory_functions(stream);
    zipFile zip = zipOpen2_64("package", APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr)
        return Error(ErrorCode::Internal, "the archive could not be started");
    bool ok = true;
    auto add = [&](const std::string &name, const uint8_t *bytes, size_t n) {
        // One given date and no Unix mode keep the package of the same files the same bytes.
        zip_fileinfo info{};
        info.dosDate = dos_time;
        ok = ok &&
             zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   Z_DEFLATED, Z_BEST_COMPRESSION, n >= 0xFFFFFFFFu) == ZIP_OK &&
             zipWriteInFileInZip(zip, bytes, static_cast<unsigned>(n)) == ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
    };
    for (const auto &[name, bytes] : members) {
        add(name, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    ok = zipClose(zip, nullptr) == ZIP_OK && ok;
    if (!ok)
        return Error(ErrorCode::Internal, "the archive could not be written");
    return out;
}

}  // namespace formats
