/* A program of a vendor's own over hidiap.dll: updates the simulated device through the C
 * interface, writes the lines that reached its callback and the device's flash to files, and
 * prints how the update ended. Built by tests/windows/run with MinGW against the header and the
 * import library.
 *
 * Usage: library_update IMAGE TTS TOKEN LINES_FILE FLASH_FILE */
#include <hidiap/hidiap.h>
#include <stdio.h>
#include <stdlib.h>

struct seen {
    FILE *lines;
    unsigned count;
};

static void on_line(void *user, const char *text, size_t size) {
    struct seen *s = (struct seen *)user;
    fwrite(text, 1, size, s->lines);
    s->count++;
}

int main(int argc, char **argv) {
    hidiap_error error;
    hidiap_inputs *inputs = NULL;
    hidiap_simulator *sim = NULL;
    hidiap_run_options run = {0};
    hidiap_result result;
    struct seen seen = {NULL, 0};
    unsigned char *flash;
    FILE *out;
    int code;

    if (argc != 6) {
        fprintf(stderr, "usage: %s IMAGE TTS TOKEN LINES_FILE FLASH_FILE\n", argv[0]);
        return 2;
    }
    printf("hidiap.dll %s\n", hidiap_version());
    if (hidiap_inputs_from_files(argv[1], argv[2], argv[3], NULL, &inputs, &error) != HIDIAP_OK ||
        hidiap_simulator_new(NULL, &sim, &error) != HIDIAP_OK) {
        fprintf(stderr, "refused (%d): %s\n", error.code, error.message);
        return error.code;
    }
    seen.lines = fopen(argv[4], "wb");
    if (seen.lines == NULL) {
        perror(argv[4]);
        return 2;
    }
    run.simulator = sim;
    run.serial = "SIM0001";
    run.on_line = on_line;
    run.user = &seen;
    code = hidiap_update(inputs, &run, NULL, &result, &error);
    fclose(seen.lines);
    if (code != HIDIAP_OK) {
        fprintf(stderr, "no update (%d): %s\n", code, error.message);
        return code;
    }
    printf("%s at %s: %s, %lu bytes in %.2f s, image CRC %08lx, TTS CRC %08lx, %u lines\n",
           result.serial, result.path, result.outcome, (unsigned long)result.bytes_programmed,
           result.seconds, (unsigned long)result.image_crc, (unsigned long)result.tts_crc,
           seen.count);
    flash = malloc(HIDIAP_FLASH_SIZE);
    out = fopen(argv[5], "wb");
    if (flash == NULL || out == NULL ||
        hidiap_simulator_flash(sim, "SIM0001", flash, HIDIAP_FLASH_SIZE, &error) != HIDIAP_OK ||
        fwrite(flash, 1, HIDIAP_FLASH_SIZE, out) != HIDIAP_FLASH_SIZE) {
        fprintf(stderr, "the flash could not be written to %s\n", argv[5]);
        return 1;
    }
    fclose(out);
    free(flash);
    hidiap_simulator_free(sim);
    hidiap_inputs_free(inputs);
    return result.ok ? 0 : 1;
}
