// Benchmarks of --skip-blank and --skip-unchanged on real flash images that Debian ships, laid
// out by scripts/real-images.sh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct RealImage {
    std::string name;     // as in images.tsv: the benchmarks are BM_Real_<case>_<name>
    std::string package;  // Debian package and version it came from
    std::string version;
    std::string file;      // path inside the package
    std::string how;       // how it was cut to fit
    std::string previous;  // version of the previous release laid out beside it, or "-"
    uint32_t bytes = 0;    // bytes programmed from 0x8000
    uint32_t pages = 0;    // pages of both ranges
    uint32_t blank_pages = 0;
    uint32_t sectors = 0;  // sectors of both ranges
};

// The cases of each image, in the order they are reported.
extern const char *const kRealCases[5];

// Registers the five cases of every image listed in dir/images.tsv (none when dir is empty or has
// no list) and returns the images.
std::vector<RealImage> register_real_image_benchmarks(const std::string &dir);

}  // namespace bench
