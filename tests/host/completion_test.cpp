// The completion scripts as the shells run them: the bash script sourced in a real bash completes
// commands, options and the words an option's value may be; fish's does the same in fish, and
// zsh reads its own without a fault.
#include <unistd.h>

#include "tool_fixture.h"

namespace {

class Completion : public Tool {
  protected:
    // What bash offers for the words typed so far (the last one being completed), one a line.
    std::string bash_offers(const std::string &words) {
        const std::string script = "cd '" + dir.string() + "' && source <('" + kTool +
                                   "' completion bash) && COMP_WORDS=(" + words +
                                   ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _hidiap && "
                                   "for w in \"${COMPREPLY[@]}\"; do echo \"$w\"; done";
        const ProcessResult r = run_process("/bin/bash", {"-c", script});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r.out;
    }
    static bool has(const std::string &program) {
        return run_process("/bin/sh", {"-c", "command -v " + program}).exit_status == 0;
    }
};

}  // namespace

TEST_F(Completion, BashCompletesCommandsOptionsAndTheirValues) {
    EXPECT_EQ(bash_offers("hidiap st"), "station\n");
    EXPECT_EQ(bash_offers("hidiap station --co"), "--count\n--config\n");
    EXPECT_EQ(bash_offers("hidiap update --format ''"), "raw\nihex\nsrec\nelf\n");
    EXPECT_EQ(bash_offers("hidiap update --sim-timing u"), "usb-fs\n");
    EXPECT_EQ(bash_offers("hidiap package ''"), "make\nsign\nshow\n");
    EXPECT_EQ(bash_offers("hidiap completion ''"), "bash\nzsh\nfish\n");
    // A file where a file is asked for, nothing where a number is; the older form's options.
    EXPECT_EQ(bash_offers("hidiap update --record im"), "img.bin\n");
    EXPECT_EQ(bash_offers("hidiap station --count ''"), "");
    EXPECT_EQ(bash_offers("hidiap --make-k"), "--make-key\n");
    // Options are a command's own: list has no --record.
    EXPECT_EQ(bash_offers("hidiap list --rec"), "");
}

TEST_F(Completion, FishCompletesAndZshReadsItsScript) {
    if (!has("fish") || !has("zsh")) {
        GTEST_SKIP()
            << "fish or zsh is not installed (scripts/install-deps.sh --test installs them)";
    }
    std::ofstream(path("hidiap.fish")) << run_process(kTool, {"completion", "fish"}).out;
    const ProcessResult fish = run_process(
        "/usr/bin/env", {"fish", "--no-config", "-c",
                         "source '" + path("hidiap.fish") +
                             "'; complete -C 'hidiap st'; complete -C 'hidiap station --co'; "
                             "complete -C 'hidiap update --format '"});
    EXPECT_EQ(fish.exit_status, 0) << fish.err;
    EXPECT_NE(fish.out.find("station\t"), std::string::npos) << fish.out;
    EXPECT_NE(fish.out.find("--count\t"), std::string::npos) << fish.out;
    EXPECT_NE(fish.out.find("srec\t"), std::string::npos) << fish.out;
    std::ofstream(path("_hidiap")) << run_process(kTool, {"completion", "zsh"}).out;
    const ProcessResult zsh = run_process("/usr/bin/env", {"zsh", "-n", path("_hidiap")});
    EXPECT_EQ(zsh.exit_status, 0) << zsh.err;
    EXPECT_EQ(run_process(kTool, {"completion", "tcsh"}).exit_status, 2);
}
