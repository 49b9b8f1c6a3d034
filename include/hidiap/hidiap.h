/* hidiap: updates and verifies the flash of a self-programming USB HID device, as a library.
 *
 * What it offers. Inputs (an image and a TTS file with a flash-size token, from files or from
 * memory, or a firmware package with trusted keys) are loaded once into a hidiap_inputs. Devices
 * are listed, and one chosen by serial number or path is updated or verified with them; the run
 * ends in a hidiap_result that says what the device gave. Instead of a real device the
 * simulated device can be used (hidiap_simulator), with the fault rules and flash of the tool's
 * --sim options, so that a program can be tested without hardware.
 *
 * Nothing is printed and nothing ends the process. What the tool prints on standard output for
 * the device reaches the caller line by line through on_line, byte for byte as the tool prints
 * it; progress through on_progress. Failures come back as a code (the HIDIAP_ERR_ values, which
 * match the tool's exit statuses where it has one) and a message in a hidiap_error. The library
 * installs no signal handler: a program that wants Ctrl-C to stop an update catches it itself
 * and calls hidiap_cancel.
 *
 * Threading contract.
 *   - Every function may be called from any thread. Handles are independent objects: calls on
 *     different handles may run at the same time.
 *   - hidiap_update and hidiap_verify block the calling thread until the run is over. Several
 *     may run at the same time on different threads, each on another device, with one
 *     hidiap_run each. Their callbacks (on_line, on_progress, should_cancel) run on the thread
 *     that called hidiap_update or hidiap_verify, never on a thread of the library, and never
 *     two at once for one run; callbacks of different runs may run at the same time.
 *   - hidiap_cancel may be called from any thread, and from a signal handler (it only sets a
 *     lock-free flag), at any time while its run exists; the run ends within half a second as
 *     interrupted. should_cancel is asked on the calling thread about every 100 ms.
 *   - A hidiap_inputs may be used by several runs at once. A hidiap_simulator may be used by
 *     several runs at once, each on another of its devices; a run on a device that another run
 *     is updating is refused (HIDIAP_ERR_BUSY).
 *   - The engine keeps its TTS data process-wide. Runs that overlap in time must use the same
 *     inputs (the same bytes and token; they may come from different hidiap_inputs); a run with
 *     other inputs is refused while one runs (HIDIAP_ERR_INPUTS_IN_USE, its message says so),
 *     and so is loading inputs while any run is under way: load every build first.
 *   - Callbacks must not call hidiap_update or hidiap_verify.
 */
#ifndef HIDIAP_HIDIAP_H
#define HIDIAP_HIDIAP_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(HIDIAP_BUILDING_LIBRARY)
#define HIDIAP_API __declspec(dllexport)
#else
#define HIDIAP_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define HIDIAP_API __attribute__((visibility("default")))
#else
#define HIDIAP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The interface's version: the major number changes only when a program written against an
 * older one would no longer build or run. */
#define HIDIAP_VERSION_MAJOR 0
#define HIDIAP_VERSION_MINOR 1
#define HIDIAP_VERSION_PATCH 0
#define HIDIAP_VERSION_STRING "0.1.0"
/* The library's version as it was built, "0.1.0". */
HIDIAP_API const char *hidiap_version(void);

/* Codes of a call's failure. 2, 3 and 4 are the tool's exit statuses for the same causes. */
enum {
    HIDIAP_OK = 0,
    HIDIAP_ERR_INPUT = 2,         /* refused inputs, package, key, option or fault rule */
    HIDIAP_ERR_NO_DEVICE = 3,     /* no matching device (or simulated serial) */
    HIDIAP_ERR_PERMISSION = 4,    /* the device is present but could not be opened */
    HIDIAP_ERR_BUSY = 5,          /* the simulated device is being updated by another run */
    HIDIAP_ERR_INPUTS_IN_USE = 6, /* another run uses other inputs, or inputs load mid-run */
    HIDIAP_ERR_ARGUMENT = 7,      /* a null handle or pointer where one is needed */
    HIDIAP_ERR_INTERNAL = 70      /* a fault of the library itself */
};

typedef struct hidiap_error {
    int code;          /* HIDIAP_OK or one of the codes above */
    char message[512]; /* why, in the tool's words; "" with HIDIAP_OK */
} hidiap_error;

/* ---- Inputs ---- */

typedef struct hidiap_inputs hidiap_inputs;

typedef struct hidiap_input_options {
    const char *image_format;        /* raw, ihex, srec, elf; NULL or "" to tell from content */
    const char *tts_format;          /* likewise */
    const char *const *trusted_keys; /* public key files, added to the system's trusted keys */
    size_t trusted_key_count;
} hidiap_input_options;

/* Each returns HIDIAP_OK with *out set (free it with hidiap_inputs_free), or a code with *out
 * NULL. options may be NULL. Loose files are refused while keys are trusted, as by the tool. */
HIDIAP_API int hidiap_inputs_from_files(const char *image_path, const char *tts_path,
                                        const char *token, const hidiap_input_options *options,
                                        hidiap_inputs **out, hidiap_error *error);
HIDIAP_API int hidiap_inputs_from_memory(const void *image, size_t image_size, const void *tts,
                                         size_t tts_size, const char *token,
                                         const hidiap_input_options *options, hidiap_inputs **out,
                                         hidiap_error *error);
HIDIAP_API int hidiap_inputs_from_package(const char *package_path,
                                          const hidiap_input_options *options, hidiap_inputs **out,
                                          hidiap_error *error);
/* A firmware package's `size` bytes at `data` (a package file's content), judged as
 * hidiap_inputs_from_package judges the file: the same checks, keys and refusals. The bytes are
 * read during the call only. In the records and messages the package is named "(memory)". */
HIDIAP_API int hidiap_inputs_from_package_memory(const void *data, size_t size,
                                                 const hidiap_input_options *options,
                                                 hidiap_inputs **out, hidiap_error *error);
HIDIAP_API void hidiap_inputs_free(hidiap_inputs *inputs);
/* Valid while the inputs live. SHA-256 as lowercase hex of the files as given; the firmware
 * version is "" without a package. */
HIDIAP_API const char *hidiap_inputs_image_sha256(const hidiap_inputs *inputs);
HIDIAP_API const char *hidiap_inputs_tts_sha256(const hidiap_inputs *inputs);
HIDIAP_API const char *hidiap_inputs_token(const hidiap_inputs *inputs);
HIDIAP_API const char *hidiap_inputs_firmware_version(const hidiap_inputs *inputs);

/* ---- The simulated device ---- */

typedef struct hidiap_simulator hidiap_simulator;

typedef struct hidiap_simulator_options {
    int devices;               /* how many (SIM0001 at sim:1, ...); 0 means 1 */
    const char *const *faults; /* the tool's --sim-fault rules ("SIM0002/drop:page:3") */
    size_t fault_count;
    const char *timing;     /* --sim-timing ("usb-fs"); NULL or "": answers at once */
    int appear_after_ms;    /* --sim-appear-after */
    int open_after_ms;      /* --sim-open-after */
    const void *flash_from; /* every device's first flash (up to 2 MiB); NULL: erased */
    size_t flash_from_size;
} hidiap_simulator_options;

/* The flash of a simulated device, in bytes. */
#define HIDIAP_FLASH_SIZE 0x200000u

/* A malformed fault rule or timing is refused with HIDIAP_ERR_INPUT. options may be NULL. Each
 * update or verify counts the fault rules afresh, as each run of the tool does; the flash of
 * each device lasts as long as the simulator. */
HIDIAP_API int hidiap_simulator_new(const hidiap_simulator_options *options, hidiap_simulator **out,
                                    hidiap_error *error);
HIDIAP_API void hidiap_simulator_free(hidiap_simulator *simulator);
/* Copies the device's flash (HIDIAP_FLASH_SIZE bytes) into buffer, which holds at least that
 * many. HIDIAP_ERR_NO_DEVICE for a serial no simulated device has. */
HIDIAP_API int hidiap_simulator_flash(hidiap_simulator *simulator, const char *serial, void *buffer,
                                      size_t size, hidiap_error *error);

/* ---- Devices ---- */

typedef struct hidiap_device {
    char path[256];
    uint16_t vendor_id;
    uint16_t product_id;
    char serial[128];
    char manufacturer[128];
    char product[128];
} hidiap_device;

/* The devices present with the IDs (0: the tool's own), at most `capacity` of them into
 * `devices`; *count gets how many there are (which may be more). simulator NULL: real devices.
 * wait_ms > 0 waits up to that long for a first one. No device is no failure: *count is 0. */
HIDIAP_API int hidiap_list_devices(hidiap_simulator *simulator, uint16_t vendor_id,
                                   uint16_t product_id, int wait_ms, hidiap_device *devices,
                                   size_t capacity, size_t *count, hidiap_error *error);

/* ---- A run: one update or verification of one device ---- */

/* phase: unlock, erase, write, verify, reboot (the tool's JSON events' words); done and total:
 * bytes of the current range (the image, then the TTS data). */
typedef void (*hidiap_progress_fn)(void *user, const char *phase, uint64_t done, uint64_t total);
/* One line the tool prints on standard output for the device, its line end included ("\r\n",
 * or "\n" for the product and hex-dump lines), `size` bytes, not NUL-terminated. */
typedef void (*hidiap_line_fn)(void *user, const char *text, size_t size);
/* Asked about every 100 ms while the run waits; nonzero ends it as hidiap_cancel does. */
typedef int (*hidiap_should_cancel_fn)(void *user);

typedef struct hidiap_run_options {
    hidiap_simulator *simulator; /* NULL: the real devices */
    uint16_t vendor_id;          /* 0 (both): a package's IDs, else the tool's own */
    uint16_t product_id;
    const char *serial; /* the device with this serial number, or NULL */
    const char *path;   /* or the one at this path, or NULL; neither: the only one */
    int wait_ms;        /* wait up to this long for the device to appear (--wait) */
    int skip_unchanged; /* --skip-unchanged */
    int skip_blank;     /* --skip-blank */
    const char *record; /* --record: a records file (.jsonl, .sqlite) or postgresql:// URI */
    hidiap_progress_fn on_progress;
    hidiap_line_fn on_line;
    hidiap_should_cancel_fn should_cancel;
    void *user; /* handed to every callback */
} hidiap_run_options;

typedef struct hidiap_run hidiap_run;

/* A run to be cancelled from another thread: made before hidiap_update, freed after it. */
HIDIAP_API hidiap_run *hidiap_run_new(void);
HIDIAP_API void hidiap_run_free(hidiap_run *run);
/* The run ends as interrupted, as a Ctrl-C ends the tool's; at once when it has not started. */
HIDIAP_API void hidiap_cancel(hidiap_run *run);

typedef struct hidiap_result {
    char outcome[16]; /* success, current, failed or interrupted (the records' words) */
    char cause[24];   /* "" on success; else crc_mismatch, not_answered, differs, ... */
    char reason[512]; /* the failure in words, "" on success */
    int ok;           /* 1 for success and current */
    int exit_status;  /* what the tool would exit with: 0, 1, or 130 for interrupted */
    uint64_t bytes_programmed;
    double seconds;
    int has_crcs;       /* 1 when the device gave the CRC-32 of both ranges */
    uint32_t image_crc; /* the device's CRC-32 of the image range */
    uint32_t tts_crc;   /* and of the TTS range */
    char serial[128];
    char path[256];
} hidiap_result;

/* Updates (or, hidiap_verify, only compares with) the chosen device. HIDIAP_OK with *result
 * filled for every ending the device gave: success, failed, interrupted (and current for a
 * verification). Otherwise a code and nothing was sent: HIDIAP_ERR_NO_DEVICE,
 * HIDIAP_ERR_PERMISSION, HIDIAP_ERR_INPUTS_IN_USE, HIDIAP_ERR_BUSY, HIDIAP_ERR_INPUT.
 * options and run may be NULL. */
HIDIAP_API int hidiap_update(const hidiap_inputs *inputs, const hidiap_run_options *options,
                             hidiap_run *run, hidiap_result *result, hidiap_error *error);
HIDIAP_API int hidiap_verify(const hidiap_inputs *inputs, const hidiap_run_options *options,
                             hidiap_run *run, hidiap_result *result, hidiap_error *error);

#ifdef __cplusplus
}
#endif

#endif /* HIDIAP_HIDIAP_H */
