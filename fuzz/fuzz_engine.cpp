// Fuzzes the update engine: a run over buffers and a layout decoded from the input, then arbitrary
// answers (any length, any bytes) and runs of ticks, also decoded from the input, with the run
// judged after every step by an independent model of what it must do.
//
// Input: a header, then steps until the input ends.
//   header: flags (bit 0: two files, bit 1: 1 MB layout, bit 2: skip unchanged sectors, bit 3:
//           sectors a survey does not find changed read as erased rather than unchanged, bit 4:
//           skip blank pages),
//           image pages u16, image sector u16, flash sector u16, TTS pages u16,
//           image pattern (u8 length + bytes), TTS pattern (same)
//   step:   op u8 (mod 8), then its operands:
//           0, 1  an arbitrary answer: length u8 (mod 65), its bytes
//           2     the answer a healthy device gives to the last frame; 3: that answer twice
//           4     an error answer to the last frame: result u8 (made non-zero)
//           5     ticks: count u8; 6: ticks: (count u8 + 1) * 64
//           7     start again: mode u8 (bit 0: set the record up as the host does first), then
//                 image pages, image sector and flash sector as in the header
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "engine/iap.h"
#include "engine_run_model.h"
#include "fuzz_check.h"
#include "globals/iap_globals.h"
#include "input_reader.h"
#include "reference_checksums.h"

namespace {

using fuzz::EngineRunModel;
using fuzz::InputReader;
using fuzz::ProgramRange;

constexpr uint32_t kImagePagesMax = IMG_FILE_BUF_SIZE / IAP_PAGE_SIZE;
constexpr uint32_t kTtsPagesMax = TTS_FILE_BUF_SIZE / IAP_PAGE_SIZE;
constexpr int kAnswerMax = 64;
// Bounds the work of one input; a run of the largest image needs far fewer.
constexpr uint32_t kTicksPerInput = 2000000;

iap_env_t g_iap;
EngineRunModel g_model;
// HIDIAP_FUZZ_TRACE=1 prints every step, frame and event, for reading a reproducer.
bool g_trace = false;
int g_frames_in_step = 0;
int g_events_in_step = 0;
bool g_success_in_step = false;

void on_tx(uint8_t *dat, int len) {
    g_frames_in_step++;
    if (g_trace) {
        std::fprintf(stderr, "  frame 0x%02x, %d bytes, state %u\n", len > 3 ? dat[3] : 0, len,
                     g_iap.state);
    }
    g_model.on_frame(dat, len, g_iap.state);
}

void on_event(iap_event_t evt) {
    g_events_in_step++;
    g_success_in_step = g_success_in_step || evt == IAP_EVT_SUCCESS;
    if (g_trace) {
        std::fprintf(stderr, "  event %u, done %d of %d\n", evt, g_iap.update_done_num,
                     g_iap.update_file_num);
    }
    g_model.on_event(evt, g_iap);
}

struct Layout {
    uint32_t image_addr = 0;  // offset of the range in img_file
    uint32_t image_size = 0;
    uint32_t flash_addr = 0;  // where the image range goes
};

// A start the host could make: whole pages, at least one, a sector-aligned range inside the image
// buffer, going to a sector-aligned place inside the flash.
Layout decode_layout(InputReader &in) {
    Layout l;
    l.image_size = (1 + in.u16() % kImagePagesMax) * IAP_PAGE_SIZE;
    const uint32_t image_sectors = (IMG_FILE_BUF_SIZE - l.image_size) / IAP_SECTOR_SIZE + 1;
    l.image_addr = in.u16() % image_sectors * IAP_SECTOR_SIZE;
    const uint32_t flash_sectors = (IAP_FLASH_END - l.image_size) / IAP_SECTOR_SIZE + 1;
    l.flash_addr = in.u16() % flash_sectors * IAP_SECTOR_SIZE;
    return l;
}

struct Pattern {
    uint8_t bytes[255];
    uint8_t len = 0;
};

Pattern decode_pattern(InputReader &in) {
    Pattern p;
    p.len = in.u8();
    in.bytes(p.bytes, p.len);
    return p;
}

// Fills [offset, offset+size) of buf with pages made from the pattern, each page marked with its
// number in its first two bytes so that no two are alike, and makes every other byte of buf
// unreadable: the engine may touch nothing but the range it was given.
void lay_out(uint8_t *buf, uint32_t buf_size, uint32_t offset, uint32_t size, const Pattern &p) {
    uint8_t page[IAP_PAGE_SIZE];
    for (uint32_t i = 0; i < IAP_PAGE_SIZE; i++) {
        page[i] = p.len == 0 ? 0xFF : p.bytes[i % p.len];
    }
    ASAN_UNPOISON_MEMORY_REGION(buf, buf_size);
    for (uint32_t n = 0; n < size / IAP_PAGE_SIZE; n++) {
        uint8_t *dst = buf + offset + n * IAP_PAGE_SIZE;
        std::memcpy(dst, page, IAP_PAGE_SIZE);
        if (p.len != 0) {
            dst[0] ^= static_cast<uint8_t>(n);
            dst[1] ^= static_cast<uint8_t>(n >> 8);
        }
    }
    ASAN_POISON_MEMORY_REGION(buf, offset);
    ASAN_POISON_MEMORY_REGION(buf + offset + size, buf_size - offset - size);
}

class EngineFuzzRun {
  public:
    explicit EngineFuzzRun(InputReader &in) : in_(in) {}

    void run();

  private:
    std::vector<ProgramRange> ranges_for(const Layout &layout) const;
    void start(const Layout &layout);
    void restart();
    void run_step(uint8_t op);
    void feed(const std::vector<uint8_t> &answer);
    void feed_good_answer();
    void feed_error_answer();
    uint32_t survey_answer();
    void ticks(uint32_t n);
    void check_between_steps(iap_state_t before, bool started) const;

    InputReader &in_;
    uint8_t file_num_ = 1;
    uint32_t tts_bytes_ = 0;
    Pattern image_;
    bool skip_unchanged_ = false;
    bool survey_sees_erased_ = false;
    bool skip_blank_ = false;
    uint32_t survey_answers_ = 0;
    uint32_t ticks_left_ = kTicksPerInput;
};

std::vector<ProgramRange> EngineFuzzRun::ranges_for(const Layout &layout) const {
    std::vector<ProgramRange> ranges;
    ranges.push_back(
        ProgramRange{img_file + layout.image_addr, layout.image_size, layout.flash_addr});
    if (file_num_ == 2) {
        ranges.push_back(ProgramRange{tts_file, tts_bytes_,
                                      is_1mb != 0 ? IAP_TTS_ADDR_1MB : IAP_TTS_ADDR_OTHER});
    }
    return ranges;
}

void EngineFuzzRun::run() {
    const uint8_t flags = in_.u8();
    file_num_ = (flags & 1) != 0 ? 2 : 1;
    is_1mb = (flags & 2) != 0 ? 1 : 0;
    skip_unchanged_ = (flags & 4) != 0;
    survey_sees_erased_ = (flags & 8) != 0;
    skip_blank_ = (flags & 16) != 0;
    const Layout layout = decode_layout(in_);
    tts_bytes_ = (1 + in_.u16() % kTtsPagesMax) * IAP_PAGE_SIZE;
    tts_size = static_cast<int>(tts_bytes_);
    image_ = decode_pattern(in_);
    const Pattern tts = decode_pattern(in_);
    lay_out(img_file, IMG_FILE_BUF_SIZE, layout.image_addr, layout.image_size, image_);
    // A one-file update must not read the TTS buffer at all.
    lay_out(tts_file, TTS_FILE_BUF_SIZE, 0, file_num_ == 2 ? tts_bytes_ : 0, tts);

    // As the host does it: a zeroed record, the file count, init, the image buffer, start.
    std::memset(&g_iap, 0, sizeof g_iap);
    g_iap.update_file_num = file_num_;
    iap_init(&g_iap, on_tx, on_event);
    g_iap.local_img_buf = img_file;
    g_iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
    g_iap.skip_unchanged = skip_unchanged_ ? 1 : 0;
    g_iap.skip_blank = skip_blank_ ? 1 : 0;
    start(layout);

    while (!in_.empty() && ticks_left_ > 0) {
        run_step(in_.u8());
    }
}

void EngineFuzzRun::start(const Layout &layout) {
    g_model.begin_run(ranges_for(layout));
    g_frames_in_step = 0;
    g_events_in_step = 0;
    g_success_in_step = false;
    iap_start(&g_iap, layout.image_addr, layout.image_size, layout.flash_addr);
    FUZZ_CHECK(g_iap.state == IAP_ST_FLASH_UNLOCK && g_frames_in_step == 1,
               "start left state %u after %d frames", g_iap.state, g_frames_in_step);
    check_between_steps(IAP_ST_IDLE, true);
}

// Starts again once the engine is idle, setting the record up the way the host does before its
// run: a new run begins with iap_init and the image buffer, because iap_start keeps the count of
// verified buffers and the buffer a run ended on (that is what lets a caller resume a run).
// A start while the engine is busy must be refused untouched.
void EngineFuzzRun::restart() {
    in_.u8();  // kept so the committed seeds decode as before
    const Layout layout = decode_layout(in_);
    if (g_iap.state == IAP_ST_IDLE) {
        lay_out(img_file, IMG_FILE_BUF_SIZE, layout.image_addr, layout.image_size, image_);
        iap_init(&g_iap, on_tx, on_event);
        g_iap.local_img_buf = img_file;
        g_iap.local_img_buf_size = static_cast<int>(IMG_FILE_BUF_SIZE);
        g_iap.skip_unchanged = skip_unchanged_ ? 1 : 0;
        g_iap.skip_blank = skip_blank_ ? 1 : 0;
        start(layout);
        return;
    }
    iap_env_t before;
    std::memcpy(&before, &g_iap, sizeof before);
    g_frames_in_step = 0;
    g_events_in_step = 0;
    iap_start(&g_iap, layout.image_addr, layout.image_size, layout.flash_addr);
    FUZZ_CHECK(std::memcmp(&before, &g_iap, sizeof before) == 0 && g_frames_in_step == 0 &&
                   g_events_in_step == 0,
               "a start while busy (state %u) changed the run", before.state);
}

void EngineFuzzRun::run_step(uint8_t op) {
    const iap_state_t before = g_iap.state;
    g_frames_in_step = 0;
    g_events_in_step = 0;
    g_success_in_step = false;
    if (g_trace) {
        std::fprintf(stderr, "step %u in state %u, offset 0x%x\n", op % 8, before,
                     g_iap.iap_offset);
    }
    switch (op % 8) {
        case 0:
        case 1: {
            std::vector<uint8_t> answer(in_.u8() % (kAnswerMax + 1));
            in_.bytes(answer.data(), answer.size());
            feed(answer);
            break;
        }
        case 2:
            feed_good_answer();
            break;
        case 3:
            // The same answer twice, as a device or a transport that repeats itself sends it.
            feed_good_answer();
            feed_good_answer();
            break;
        case 4:
            feed_error_answer();
            break;
        case 5:
            ticks(in_.u8());
            break;
        case 6:
            ticks((in_.u8() + 1u) * 64);
            break;
        default:
            restart();
            return;
    }
    check_between_steps(before, false);
}

void EngineFuzzRun::feed(const std::vector<uint8_t> &answer) {
    g_model.on_answer(answer.data(), static_cast<int>(answer.size()), g_iap.state);
    // Exactly the answer's bytes, so that a read past its end is caught.
    std::vector<uint8_t> copy(answer);
    iap_rx_callback(&g_iap, copy.data(), static_cast<int>(copy.size()));
}

// The answer a healthy device gives to the last frame: success, and for a check the CRC-32 of the
// range. 63 bytes, as they come off the wire without the report ID. A survey is answered as if
// every third sector held something else and the rest were unchanged or erased.
void EngineFuzzRun::feed_good_answer() {
    std::vector<uint8_t> a(63, 0);
    const bool survey =
        g_iap.state == IAP_ST_FLASH_SURVEY_RANGE || g_iap.state == IAP_ST_FLASH_SURVEY_SECTOR;
    const bool check = g_iap.state == IAP_ST_FLASH_CHECK || survey;
    const uint32_t len = check ? 12 : 8;
    a[0] = 0xA5;
    a[1] = static_cast<uint8_t>(len);
    a[3] = 0x80;
    a[4] = g_model.last_command();
    if (check) {
        const uint32_t crc = survey ? survey_answer() : g_model.current_crc();
        for (int i = 0; i < 4; i++) {
            a[6 + i] = static_cast<uint8_t>(crc >> (8 * i));
        }
    }
    const uint16_t crc16 = test_support::reference_crc16(a.data(), len - 2);
    a[len - 2] = static_cast<uint8_t>(crc16);
    a[len - 1] = static_cast<uint8_t>(crc16 >> 8);
    feed(a);
}

// By turns: a range survey finds the range unchanged, erased, or different in places; a sector
// survey finds every third sector different and the others unchanged (or erased, by flag).
uint32_t EngineFuzzRun::survey_answer() {
    const uint32_t turn = survey_answers_++ % 3;
    if (g_iap.state == IAP_ST_FLASH_SURVEY_RANGE) {
        return turn == 2 ? g_model.survey_crc(false) ^ 1 : g_model.survey_crc(turn == 1);
    }
    return turn == 0 ? g_model.survey_crc(false) ^ 1 : g_model.survey_crc(survey_sees_erased_);
}

void EngineFuzzRun::feed_error_answer() {
    std::vector<uint8_t> a(63, 0);
    a[0] = 0xA5;
    a[1] = 8;
    a[3] = 0x80;
    a[4] = g_model.last_command();
    a[5] = static_cast<uint8_t>(in_.u8() % 255 + 1);
    const uint16_t crc16 = test_support::reference_crc16(a.data(), 6);
    a[6] = static_cast<uint8_t>(crc16);
    a[7] = static_cast<uint8_t>(crc16 >> 8);
    feed(a);
}

void EngineFuzzRun::ticks(uint32_t n) {
    for (uint32_t i = 0; i < n && ticks_left_ > 0; i++, ticks_left_--) {
        iap_timer_callback(&g_iap);
    }
}

void EngineFuzzRun::check_between_steps(iap_state_t before, bool started) const {
    const iap_env_t &e = g_iap;
    FUZZ_CHECK(e.state <= IAP_ST_FLASH_SURVEY_SECTOR, "state %u", e.state);
    FUZZ_CHECK(e.state_change == 0, "state_change left at %u in state %u", e.state_change, e.state);
    FUZZ_CHECK(e.iap_offset % IAP_PAGE_SIZE == 0 && e.iap_offset <= e.size,
               "iap_offset 0x%x with size 0x%x", e.iap_offset, e.size);
    FUZZ_CHECK(e.attempt <= IAP_RETRIES, "attempt %u", e.attempt);
    if (before == IAP_ST_IDLE && !started) {
        FUZZ_CHECK(e.state == IAP_ST_IDLE && g_frames_in_step == 0,
                   "idle engine went to state %u and sent %d frames", e.state, g_frames_in_step);
    }
    if (before != IAP_ST_IDLE && e.state == IAP_ST_IDLE) {
        // The host learns how a run ended only from its last event.
        FUZZ_CHECK(g_events_in_step > 0, "run ended in state %u without an event", before);
    }
    if (g_success_in_step) {
        FUZZ_CHECK(before != IAP_ST_IDLE && e.state == IAP_ST_IDLE,
                   "success from state %u leaving state %u", before, e.state);
    }
    if (e.state != IAP_ST_IDLE) {
        const ProgramRange &r = g_model.current_range();
        const uintptr_t engine_data = reinterpret_cast<uintptr_t>(e.local_img_buf) + e.addr;
        FUZZ_CHECK(engine_data == reinterpret_cast<uintptr_t>(r.data) && e.size == r.size &&
                       e.iap_addr == r.flash_addr,
                   "engine works on buffer %p+0x%x (0x%x bytes to 0x%08x) at range %zu",
                   static_cast<void *>(e.local_img_buf), e.addr, e.size, e.iap_addr,
                   g_model.phase());
    }
}

void discard_console(std::string_view) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The fuzzer's process never ends a run early: the scope lives as long as it does.
    static const ConsoleSinkScope quiet(discard_console);
    g_trace = std::getenv("HIDIAP_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    InputReader in(data, size);
    EngineFuzzRun(in).run();
    return 0;
}
