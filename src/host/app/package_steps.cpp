#include "host/app/package_steps.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "host/events/exit_status.h"
#include "host/inputs/run_inputs.h"

namespace host {

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

// The name a file gets inside the package: its own, without the folders.
std::string member_name(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int make_package_step(const Options &o) {
    Inputs inputs;
    if (!load_inputs(input_request(o), inputs)) {
        std::fprintf(stderr, "hidiap: --make-package: no package was written\n");
        return kExitBadInput;
    }
    std::vector<uint8_t> image;
    std::vector<uint8_t> tts;
    if (!read_file(o.image_path, image) || !read_file(o.tts_path, tts)) {
        std::fprintf(stderr, "hidiap: --make-package: the files could not be read again\n");
        return kExitBadInput;
    }
    formats::Manifest m;
    m.image_name = member_name(o.image_path);
    m.tts_name = member_name(o.tts_path);
    if (m.tts_name == m.image_name || m.tts_name == formats::kManifestName) {
        m.tts_name = "tts-" + m.tts_name;
    }
    if (m.image_name == formats::kManifestName) {
        m.image_name = "image-" + m.image_name;
    }
    m.token = o.token;
    m.firmware_version = o.fw_version;
    m.product = o.product;
    m.has_ids = o.vid_given;
    m.vendor_id = o.device.vendor_id;
    m.product_id = o.device.product_id;
    std::vector<uint8_t> archive;
    std::string why = formats::write_package(m, image, tts, archive);
    if (why.empty()) {
        std::ofstream out(o.make_package, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(archive.data()),
                  static_cast<std::streamsize>(archive.size()));
        out.close();
        if (!out) {
            why = "cannot write '" + o.make_package + "'";
        }
    }
    if (!why.empty()) {
        std::fprintf(stderr, "hidiap: --make-package: %s\n", why.c_str());
        return kExitBadInput;
    }
    std::fprintf(stderr,
                 "hidiap: wrote the package '%s' (%llu bytes): image '%s', TTS '%s', token '%s'\n",
                 o.make_package.c_str(), static_cast<unsigned long long>(archive.size()),
                 m.image_name.c_str(), m.tts_name.c_str(), m.token.c_str());
    return kExitSuccess;
}

int open_package_step(Options &o, PackageInputs &package) {
    if (!read_package_file(o.package_path, package)) {
        return kExitBadInput;
    }
    const formats::Manifest &m = package.manifest;
    o.image_path = o.package_path + ":" + m.image_name;
    o.tts_path = o.package_path + ":" + m.tts_name;
    o.token = m.token;
    if (m.has_ids) {
        if (!o.vid_given)
            o.device.vendor_id = m.vendor_id;
        if (!o.pid_given)
            o.device.product_id = m.product_id;
    }
    return 0;
}

}  // namespace host
