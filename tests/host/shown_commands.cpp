#include <algorithm>
#include "shown_commands.h"

#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "expected_layout.h"

namespace test_support {

namespace {

void write_bytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> words_of(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

bool has_word(const std::vector<std::string> &words, const std::string &word) {
    for (const std::string &w : words) {
        if (w == word) {
            return true;
        }
    }
    return false;
}

}  // namespace

void make_page_files(const std::filesystem::path &dir) {
    std::filesystem::create_directories(dir / "state");
    std::vector<uint8_t> image = random_bytes(40000, 21);
    write_bytes(dir / "firmware.bin", image);
    // The placeholders the guide's unit fields are written over.
    std::fill(image.begin() + 0x9000, image.begin() + 0x9040, 0xFF);
    write_bytes(dir / "image.bin", image);
    const std::vector<uint8_t> tts = random_bytes(1000, 22);
    write_bytes(dir / "tts.bin", tts);
    write_bytes(dir / "voice.bin", tts);
    std::ofstream(dir / ".password") << "secret\n";
    const std::string hex =
        "cd '" + dir.string() + "' && objcopy -I binary -O ihex firmware.bin firmware.hex";
    if (std::system(hex.c_str()) != 0) {
        std::filesystem::remove(dir / "firmware.hex");
    }
}

std::string simulated(const std::string &line, const std::string &tool) {
    const std::vector<std::string> words = words_of(line);
    const std::string command = words.size() > 1 ? words[1] : "";
    std::string added;
    // The older form without a command takes every option; the commands of packages, keys,
    // records and completion reach no device.
    const bool device = command != "package" && command != "key" && command != "records" &&
                        command != "completion" && command != "job";
    if (device && !has_word(words, "--simulate")) {
        added += " --simulate";
    }
    const bool key = (command == "key" && words.size() > 2 && words[2] == "make") ||
                     has_word(words, "--make-key");
    if (key && !has_word(words, "--unencrypted")) {
        added += " --unencrypted";
    }
    // A station, a listing and the learning of slots never wait for Enter, and take no
    // --no-wait.
    const bool waits = command != "station" && command != "list" && command != "slots";
    if (device && waits && !has_word(words, "--no-wait")) {
        added += " --no-wait";
    }
    const size_t after = line.find("hidiap") + 6;
    const bool leads = command == "update" || command == "verify" || command == "station" ||
                       command == "list" || command == "key" || command == "slots";
    const std::string first = command == "key" ? "make" : command == "slots" ? "learn" : command;
    const size_t command_end = leads ? line.find(first, after) + first.size() : after;
    return "'" + tool + "'" + line.substr(after, command_end - after) + added +
           line.substr(command_end);
}

ProcessResult run_shown(const std::string &line, const std::string &tool,
                        const std::filesystem::path &dir) {
    const std::vector<std::string> words = words_of(line);
    ProcessOptions options;
    options.limit = std::chrono::milliseconds(60000);
    options.env = {"XDG_STATE_HOME=" + (dir / "state").string(), "PGCONNECT_TIMEOUT=3"};
    const bool station =
        (words.size() > 1 && words[1] == "station") || has_word(words, "--station");
    if (station && !has_word(words, "--count") && !has_word(words, "--dry-run")) {
        options.signals = {{"hidiap: [SIM", SIGINT}};
    }
    // exec: the signal reaches the tool itself, not the shell that started it.
    const std::string script =
        "cd '" + dir.string() + "' && exec " + simulated(line, tool) + " < .password";
    return run_process("/bin/sh", {"-c", script}, options);
}

}  // namespace test_support
