// Real images under the usb-fs model: a full update, --skip-blank and --skip-unchanged on an
// erased device, --skip-unchanged on a device holding the previous release of the same file (or,
// without one, the image with 5% of its sectors other data), and --skip-unchanged unchanged. The
// TTS data is one page of random bytes at 0x180000 (token 2MB), the same in every case.
#include "real_image_bench.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "child_run.h"
#include "tool_bench.h"

namespace fs = std::filesystem;

namespace bench {

const char *const kRealCases[5] = {"full", "blank_erased", "skip_erased", "skip_previous",
                                   "skip_unchanged"};

namespace {

constexpr uint32_t kImageStart = 0x8000;
constexpr uint32_t kSector = 0x1000;
constexpr uint32_t kPage = 0x100;

std::vector<uint8_t> read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path &p, const std::vector<uint8_t> &bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

uint32_t blank_pages(const std::vector<uint8_t> &bytes, size_t from) {
    uint32_t blank = 0;
    for (size_t at = from; at < bytes.size(); at += kPage) {
        const auto end = bytes.begin() + static_cast<long>(std::min(bytes.size(), at + kPage));
        blank += std::all_of(bytes.begin() + static_cast<long>(at), end,
                             [](uint8_t b) { return b == 0xFF; });
    }
    return blank;
}

// The starting flashes, made once per image the first time a case needs them: what a full update
// leaves (unchanged), and what a full update of the previous release leaves, or the unchanged
// flash with 5% of the image's sectors other data.
fs::path start_flash(const fs::path &dir, const RealImage &image, const char *which) {
    const fs::path unchanged = dir / (image.name + ".unchanged.flash");
    const fs::path tts = dir / "tts.bin";
    if (!fs::exists(unchanged)) {
        run_child(tool_path(), {"--simulate", "--no-wait", "--sim-flash", unchanged.string(),
                                (dir / (image.name + ".img")).string(), tts.string(), "2MB"});
    }
    if (std::string(which) == "unchanged") {
        return unchanged;
    }
    const fs::path previous = dir / (image.name + ".previous.flash");
    if (!fs::exists(previous) && image.previous != "-") {
        run_child(tool_path(), {"--simulate", "--no-wait", "--sim-flash", previous.string(),
                                (dir / (image.name + ".prev.img")).string(), tts.string(), "2MB"});
    } else if (!fs::exists(previous)) {
        std::vector<uint8_t> flash = read_file(unchanged);
        std::vector<uint32_t> sectors;
        for (uint32_t a = kImageStart; a < kImageStart + image.bytes; a += kSector) {
            sectors.push_back(a);
        }
        std::mt19937 rng(21);
        std::shuffle(sectors.begin(), sectors.end(), rng);
        sectors.resize((sectors.size() + 19) / 20);
        for (uint32_t a : sectors) {
            std::generate(flash.begin() + a, flash.begin() + a + kSector,
                          [&rng] { return static_cast<uint8_t>(rng()); });
        }
        write_file(previous, flash);
    }
    return previous;
}

void BM_Real(benchmark::State &state, fs::path dir, RealImage image, std::string which) {
    std::vector<std::string> args = {"--sim-timing", "usb-fs"};
    if (which == "blank_erased") {
        args.push_back("--skip-blank");
    } else if (which != "full") {
        args.push_back("--skip-unchanged");
    }
    if (which == "skip_previous" || which == "skip_unchanged") {
        args.insert(args.end(),
                    {"--sim-flash-from",
                     start_flash(dir, image, which == "skip_previous" ? "previous" : "unchanged")
                         .string()});
    }
    args.insert(args.end(),
                {(dir / (image.name + ".img")).string(), (dir / "tts.bin").string(), "2MB"});
    run_tool_case(state, args, 0);
}

}  // namespace

std::vector<RealImage> register_real_image_benchmarks(const std::string &dir_text) {
    std::vector<RealImage> images;
    const fs::path dir = dir_text;
    std::ifstream list(dir / "images.tsv");
    if (dir_text.empty() || !list) {
        return images;
    }
    // One page of TTS data, so that the figures are the image's.
    std::mt19937 rng(22);
    std::vector<uint8_t> tts(kPage);
    std::generate(tts.begin(), tts.end(), [&rng] { return static_cast<uint8_t>(rng()); });
    write_file(dir / "tts.bin", tts);
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        RealImage image;
        std::string bytes;
        std::getline(fields, image.name, '\t');
        std::getline(fields, image.package, '\t');
        std::getline(fields, image.version, '\t');
        std::getline(fields, image.file, '\t');
        std::getline(fields, bytes, '\t');
        std::getline(fields, image.how, '\t');
        std::getline(fields, image.previous, '\t');
        const std::vector<uint8_t> bytes_read = read_file(dir / (image.name + ".img"));
        if (bytes_read.size() <= kImageStart) {
            continue;
        }
        image.bytes =
            static_cast<uint32_t>((bytes_read.size() - kImageStart + kPage - 1) / kPage * kPage);
        image.pages = image.bytes / kPage + 1;
        image.blank_pages = blank_pages(bytes_read, kImageStart);
        image.sectors = (image.bytes + kSector - 1) / kSector + 1;
        images.push_back(image);
        for (const char *which : kRealCases) {
            benchmark::RegisterBenchmark(
                ("BM_Real_" + std::string(which) + "_" + image.name).c_str(), BM_Real, dir, image,
                std::string(which))
                ->Iterations(1)
                ->Repetitions(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    return images;
}

}  // namespace bench
