# Sourced by the scenarios' prepare scripts, on the build machine, in the scenario's copy.
# Inputs are made deterministically, so that a failure can be reproduced byte for byte; the
# wanted flash is built here from the input files alone, not by the device model under test.
# shellcheck shell=sh

# shellcheck source=gadget.sh
. "$KERNEL_TEST_DIR/gadget.sh"

# random_file FILE SIZE SEED: SIZE pseudo-random bytes (xorshift32 from SEED, non-zero).
random_file() {
    perl -e '
        use strict;
        use warnings;
        my ($path, $size, $x) = @ARGV;
        open(my $out, ">:raw", $path) or die "$path: $!\n";
        while ($size > 0) {
            my $n = $size < 65536 ? $size : 65536;
            my @bytes;
            for (1 .. $n) {
                $x ^= ($x << 13) & 0xFFFFFFFF;
                $x ^= $x >> 17;
                $x ^= ($x << 5) & 0xFFFFFFFF;
                push @bytes, $x & 0xFF;
            }
            print $out pack("C*", @bytes) or die "$path: $!\n";
            $size -= $n;
        }
        close($out) or die "$path: $!\n";
    ' "$1" "$2" "$3"
}

# expect_flash IMAGE TTS TOKEN: writes expect-flash.sha256 for the 2 MiB flash an update with
# these inputs leaves on an erased device: the image from 0x8000 on, the TTS data at 0x80000
# (token starting with 1MB) or 0x180000, both padded with erased bytes; the TTS data last.
expect_flash() {
    perl -e '
        use strict;
        use warnings;
        my ($image_path, $tts_path, $token, $out_path) = @ARGV;
        sub slurp {
            my ($p) = @_;
            open(my $f, "<:raw", $p) or die "$p: $!\n";
            local $/;
            my $d = <$f>;
            return defined $d ? $d : "";
        }
        my $flash = "\xFF" x 0x200000;
        my $image = slurp($image_path);
        my $tts = slurp($tts_path);
        substr($flash, 0x8000, length($image) - 0x8000) = substr($image, 0x8000);
        my $tts_addr = substr($token, 0, 3) eq "1MB" ? 0x80000 : 0x180000;
        substr($flash, $tts_addr, length($tts)) = $tts;
        open(my $out, ">:raw", $out_path) or die "$out_path: $!\n";
        print $out $flash or die "$out_path: $!\n";
        close($out) or die "$out_path: $!\n";
    ' "$1" "$2" "$3" wanted-flash.bin
    sha256sum wanted-flash.bin | cut -d" " -f1 >expect-flash.sha256
    rm -f wanted-flash.bin
}

# expect_stdout HIDIAP-ARGS...: writes expect-stdout as the tool prints it for the same run
# against its built-in simulated device, with that device's product string replaced by the
# gadget's (the scenario's product file, or the rig's default). The gadget serves the same device model, so through the real HID stack every line
# must come out the same. The simulated run must end with the scenario's expect-exit status.
expect_stdout() {
    product=$GADGET_DEFAULT_PRODUCT
    [ ! -f product ] || product=$(cat product)
    want=0
    [ ! -f expect-exit ] || want=$(cat expect-exit)
    status=0
    "$HIDIAP" --simulate --no-wait "$@" >simulated-stdout 2>/dev/null </dev/null || status=$?
    if [ "$status" != "$want" ]; then
        echo "prepare: the simulated run exited $status, the scenario wants $want" >&2
        return 1
    fi
    grep -q '^Product String     : Simulated IAP device$' simulated-stdout || {
        echo "prepare: simulated run printed no product line" >&2
        return 1
    }
    # The product string is text, not a pattern: the line is replaced whole, byte for byte.
    perl -pe 'BEGIN { $product = shift }
        $_ = "Product String     : $product\n"
            if $_ eq "Product String     : Simulated IAP device\n"' \
        "$product" simulated-stdout >expect-stdout
    rm -f simulated-stdout
}
