// Why the verification CRC uses zlib: it is compared here with the byte-at-a-time table the
// checksum is defined by, over the largest range the tool checks.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "engine/iap.h"

namespace {

constexpr size_t kLargestRange = 2048000;  // image buffer less the skipped 0x8000

std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int b = 0; b < 8; b++) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

uint32_t table_crc32(uint32_t crc, const uint8_t *p, size_t n) {
    static const std::array<uint32_t, 256> table = make_table();
    for (size_t i = 0; i < n; i++) {
        crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFF];
    }
    return crc;
}

std::vector<uint8_t> data() {
    std::vector<uint8_t> d(kLargestRange);
    for (size_t i = 0; i < d.size(); i++) {
        d[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    }
    return d;
}

void BM_Crc32_Zlib(benchmark::State &state) {
    const std::vector<uint8_t> d = data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            iap_calculate_CRC32(0xFFFFFFFF, d.data(), static_cast<uint32_t>(d.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

void BM_Crc32_Table(benchmark::State &state) {
    const std::vector<uint8_t> d = data();
    for (auto _ : state) {
        benchmark::DoNotOptimize(table_crc32(0xFFFFFFFF, d.data(), d.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.size()));
}

}  // namespace

BENCHMARK(BM_Crc32_Zlib)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Crc32_Table)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
