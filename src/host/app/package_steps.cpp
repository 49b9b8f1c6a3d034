#include "host/app/package_steps.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "host/events/exit_status.h"
#include "host/inputs/run_inputs.h"
#include "host/platform/env.h"
#include "host/platform/secret_input.h"
#include "signing/minisign.h"

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

// The secret key of --sign, opened with its password when it has one; "" or why not.
std::string open_signing_key(const std::string &path, signing::SecretKey &key) {
    std::vector<uint8_t> bytes;
    if (!read_file(path, bytes) || bytes.empty()) {
        return "cannot read the secret key '" + path + "'";
    }
    signing::SecretKeyFile file;
    std::string why = signing::ready()
                          ? signing::read_secret_key(std::string(bytes.begin(), bytes.end()), file)
                          : "the cryptography library could not start";
    std::string password;
    if (why.empty() && file.encrypted) {
        const std::string prompt = "Password for '" + path + "': ";
        if (!read_secret_line(prompt.c_str(), password)) {
            why = "no password was given";
        }
    }
    if (why.empty()) {
        why = signing::open_secret_key(file, password, key);
    }
    return why.empty() ? "" : "the secret key '" + path + "': " + why;
}

// What the signature vouches for besides the manifest, in minisign's tab-separated style.
std::string trusted_comment(const formats::Manifest &m) {
    std::string comment = std::string("file:") + formats::kManifestName;
    if (!m.firmware_version.empty())
        comment += "\tfirmware_version:" + m.firmware_version;
    if (!m.product.empty())
        comment += "\tproduct:" + m.product;
    return comment;
}

// Writes the file, readable by its owner only when `secret`; "" or why not.
std::string write_text(const std::string &path, const std::string &text, bool secret) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::error_code ec;
    if (out && secret) {
        // Before a byte of the key is in it.
        std::filesystem::permissions(
            path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    }
    out << text;
    out.close();
    return out && !ec ? "" : "cannot write '" + path + "'";
}

// Whether the two paths name one file: the same text, or the same file on the disk however
// they reach it (a link, another spelling of the folder).
bool same_file(const std::string &a, const std::string &b) {
    if (a == b) {
        return true;
    }
    const base::Result<FileFacts> fa = env().stat(a);
    const base::Result<FileFacts> fb = env().stat(b);
    return fa.ok() && fb.ok() && fa->kind != FileKind::Missing && fb->kind != FileKind::Missing &&
           fa->identity == fb->identity;
}

// Why OUT must not be written: it is one of the files the package is made of, or "".
std::string output_is_an_input(const Options &o) {
    const std::pair<const char *, std::string> inputs[] = {
        {"the image", o.image_path}, {"the TTS file", o.tts_path}, {"the secret key", o.sign_key}};
    for (const auto &[role, path] : inputs) {
        if (!path.empty() && same_file(path, o.make_package)) {
            return "the output '" + o.make_package + "' is " + role +
                   " it is made from; no package was written";
        }
    }
    return "";
}

}  // namespace

int make_key_step(const Options &o) {
    const std::string pub = o.make_key + ".pub";
    const std::string sec = o.make_key + ".key";
    std::error_code ec;
    for (const std::string &path : {pub, sec}) {
        if (std::filesystem::exists(path, ec)) {
            std::fprintf(stderr, "hidiap: --make-key: '%s' exists; a key is never overwritten\n",
                         path.c_str());
            return kExitBadInput;
        }
    }
    std::string password;
    if (!o.unencrypted) {
        std::string again;
        const bool terminal = secret_input_is_terminal();
        if (!read_secret_line("Password for the new key: ", password) ||
            (terminal && !read_secret_line("The password again: ", again))) {
            std::fprintf(stderr, "hidiap: --make-key: no password was given\n");
            return kExitBadInput;
        }
        if (terminal && again != password) {
            std::fprintf(stderr, "hidiap: --make-key: the passwords differ; no key was written\n");
            return kExitBadInput;
        }
        if (password.empty()) {
            std::fprintf(stderr,
                         "hidiap: --make-key: the password is empty; for a key without one give "
                         "--unencrypted\n");
            return kExitBadInput;
        }
    }
    if (!signing::ready()) {
        std::fprintf(stderr, "hidiap: --make-key: the cryptography library could not start\n");
        return kExitBadInput;
    }
    signing::SecretKey key;
    signing::make_key(key);
    const std::string secret = signing::secret_key_text(key, password, signing::minisign_limits());
    std::string why = secret.empty() ? "too little memory to protect the key with its password"
                                     : write_text(sec, secret, true);
    if (why.empty()) {
        why = write_text(pub, signing::public_key_text(key.public_key()), false);
    }
    if (!why.empty()) {
        std::fprintf(stderr, "hidiap: --make-key: %s\n", why.c_str());
        return kExitBadInput;
    }
    if (o.unencrypted) {
        std::fprintf(stderr,
                     "hidiap: warning: '%s' is not encrypted: whoever can read it can sign "
                     "firmware that is accepted as yours; keep it where only you can read it\n",
                     sec.c_str());
    }
    std::fprintf(stderr,
                 "hidiap: wrote the key ID %s: '%s' (public: publish it, trust it with --trust) "
                 "and '%s' (secret: sign with --sign, never hand it out)\n",
                 signing::key_id_text(key.id).c_str(), pub.c_str(), sec.c_str());
    return kExitSuccess;
}

int trust_step(const Options &o, std::vector<TrustedKey> &trusted) {
    if (const std::string why = load_trusted_keys(o.trust, trusted_keys_folder(), trusted);
        !why.empty()) {
        std::fprintf(stderr, "hidiap: %s; nothing was sent\n", why.c_str());
        return kExitBadInput;
    }
    return 0;
}

int make_package_step(const Options &o) {
    if (const std::string why = output_is_an_input(o); !why.empty()) {
        std::fprintf(stderr, "hidiap: --make-package: %s\n", why.c_str());
        return kExitBadInput;
    }
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
    if (m.tts_name == m.image_name || m.tts_name == formats::kManifestName ||
        m.tts_name == formats::kSignatureName) {
        m.tts_name = "tts-" + m.tts_name;
    }
    if (m.image_name == formats::kManifestName || m.image_name == formats::kSignatureName) {
        m.image_name = "image-" + m.image_name;
    }
    m.token = o.token;
    m.firmware_version = o.fw_version;
    m.product = o.product;
    m.has_ids = o.vid_given;
    m.vendor_id = o.device.vendor_id;
    m.product_id = o.device.product_id;
    signing::SecretKey key;
    formats::ManifestSigner signer;
    std::string comment;
    if (!o.sign_key.empty()) {
        if (const std::string why = open_signing_key(o.sign_key, key); !why.empty()) {
            std::fprintf(stderr, "hidiap: --sign: %s; no package was written\n", why.c_str());
            return kExitBadInput;
        }
        signer = [&](const std::string &manifest, const formats::Manifest &signed_manifest,
                     std::string &signature) {
            comment = trusted_comment(signed_manifest);
            signature = signing::sign(key, reinterpret_cast<const uint8_t *>(manifest.data()),
                                      manifest.size(), comment);
            return signature.empty() ? "--sign: the firmware version and product must be one "
                                       "line of at most 1024 bytes together"
                                     : "";
        };
    }
    std::vector<uint8_t> archive;
    std::string why = formats::write_package(m, image, tts, archive, signer);
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
    if (signer) {
        std::fprintf(stderr, "hidiap: signed with the key ID %s; trusted comment: %s\n",
                     signing::key_id_text(key.id).c_str(), comment.c_str());
    }
    return kExitSuccess;
}

int open_package_step(Options &o, PackageInputs &package, const std::vector<TrustedKey> &trusted) {
    if (!read_package_file(o.package_path, package, trusted)) {
        return kExitBadInput;
    }
    const SignatureFacts &sig = package.signature;
    if (sig.status == "verified") {
        std::fprintf(stderr,
                     "hidiap: package '%s' is signed by the key ID %s, verified with the trusted "
                     "key '%s'; trusted comment: %s\n",
                     o.package_path.c_str(), sig.key_id.c_str(), sig.key_file.c_str(),
                     sig.trusted_comment.c_str());
    } else if (sig.status == "not checked") {
        std::fprintf(stderr,
                     "hidiap: package '%s' is signed by the key ID %s, not checked: no key is "
                     "trusted (--trust); trusted comment: %s\n",
                     o.package_path.c_str(), sig.key_id.c_str(), sig.trusted_comment.c_str());
    } else if (sig.status == "unreadable") {
        std::fprintf(stderr,
                     "hidiap: warning: package '%s' has an unreadable signature, not checked: no "
                     "key is trusted\n",
                     o.package_path.c_str());
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
