#include "host/app/package_steps.h"

#include <cstdio>

#include "host/events/exit_status.h"
#include "host/inputs/run_inputs.h"
#include "host/platform/env.h"
#include "host/platform/secret_input.h"
#include "signing/minisign.h"

namespace host {

namespace {

// More than any file the inputs step accepts; a file that grew past it since is not read.
constexpr uint64_t kInputFileLimit = 64u << 20;
// A secret key file is two short lines.
constexpr uint64_t kKeyFileLimit = 4096;

base::Result<std::vector<uint8_t>> read_bytes(const std::string &path, uint64_t limit) {
    base::Result<std::string> text = read_file(path, limit);
    if (!text.ok()) {
        return text.error();
    }
    return std::vector<uint8_t>(text->begin(), text->end());
}

// The name a file gets inside the package: its own, without the folders.
std::string member_name(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The secret key of --sign, opened with its password when it has one.
base::Result<signing::SecretKey> open_signing_key(const std::string &path) {
    const base::Result<std::string> text = read_file(path, kKeyFileLimit);
    if (!text.ok() || text->empty()) {
        return base::Error(text.ok() ? base::ErrorCode::InvalidInput : text.code(),
                           "cannot read the secret key '" + path + "'");
    }
    if (const base::Status started = signing::ready(); !started.ok()) {
        return started.error().in("the secret key '" + path + "'");
    }
    const base::Result<signing::SecretKeyFile> file = signing::read_secret_key(*text);
    if (!file.ok()) {
        return file.error().in("the secret key '" + path + "'");
    }
    std::string password;
    if (file->encrypted) {
        const std::string prompt = "Password for '" + path + "': ";
        if (!read_secret_line(prompt.c_str(), password)) {
            return base::Error(base::ErrorCode::InvalidInput,
                               "the secret key '" + path + "': no password was given");
        }
    }
    base::Result<signing::SecretKey> key = signing::open_secret_key(*file, password);
    if (!key.ok()) {
        return key.error().in("the secret key '" + path + "'");
    }
    return key;
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

// Writes a new key file whole or not at all, never over an existing one; a secret one is
// readable by its owner only from its first byte on.
base::Status write_key_file(const std::string &path, const std::string &text, bool secret) {
    const base::Status written = write_file_atomically(path, text, false, secret);
    if (!written.ok()) {
        return written.error().in("cannot write '" + path + "'");
    }
    return {};
}

}  // namespace

int make_key_step(const Options &o) {
    const std::string pub = o.make_key + ".pub";
    const std::string sec = o.make_key + ".key";
    for (const std::string &path : {pub, sec}) {
        const base::Result<FileFacts> facts = env().stat(path);
        if (facts.ok() && facts->kind != FileKind::Missing) {
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
    if (const base::Status started = signing::ready(); !started.ok()) {
        std::fprintf(stderr, "hidiap: --make-key: %s\n", started.message().c_str());
        return kExitBadInput;
    }
    signing::SecretKey key;
    signing::make_key(key);
    const base::Result<std::string> secret =
        signing::secret_key_text(key, password, signing::minisign_limits());
    base::Status written = secret.ok() ? write_key_file(sec, *secret, true) : secret.error();
    if (written.ok()) {
        written = write_key_file(pub, signing::public_key_text(key.public_key()), false);
        if (!written.ok()) {
            // A secret key whose public key is missing could never be trusted: it goes too.
            (void)env().remove(sec);
        }
    }
    if (!written.ok()) {
        std::fprintf(stderr, "hidiap: --make-key: %s\n", written.message().c_str());
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
    base::Result<std::vector<TrustedKey>> keys = load_trusted_keys(o.trust, trusted_keys_folder());
    if (!keys.ok()) {
        std::fprintf(stderr, "hidiap: %s; nothing was sent\n", keys.message().c_str());
        return kExitBadInput;
    }
    trusted = std::move(*keys);
    return 0;
}

int make_package_step(const Options &o) {
    Inputs inputs;
    if (!load_inputs(input_request(o), inputs)) {
        std::fprintf(stderr, "hidiap: --make-package: no package was written\n");
        return kExitBadInput;
    }
    const base::Result<std::vector<uint8_t>> image = read_bytes(o.image_path, kInputFileLimit);
    const base::Result<std::vector<uint8_t>> tts = read_bytes(o.tts_path, kInputFileLimit);
    if (!image.ok() || !tts.ok()) {
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
        base::Result<signing::SecretKey> opened = open_signing_key(o.sign_key);
        if (!opened.ok()) {
            std::fprintf(stderr, "hidiap: --sign: %s; no package was written\n",
                         opened.message().c_str());
            return kExitBadInput;
        }
        key = *opened;
        signer = [&](const std::string &manifest,
                     const formats::Manifest &signed_manifest) -> base::Result<std::string> {
            comment = trusted_comment(signed_manifest);
            base::Result<std::string> signature = signing::sign(
                key, reinterpret_cast<const uint8_t *>(manifest.data()), manifest.size(), comment);
            if (!signature.ok()) {
                return base::Error(signature.code(),
                                   "--sign: the firmware version and product must be one line of "
                                   "at most 1024 bytes together");
            }
            return signature;
        };
    }
    const base::Result<std::vector<uint8_t>> archive =
        formats::write_package(m, *image, *tts, signer);
    base::Status written = archive.ok() ? base::Status() : base::Status(archive.error());
    if (written.ok()) {
        // Written beside the old package and put in its place whole: a full disk or a failed
        // sync leaves the package that was there.
        written = write_file_atomically(
            o.make_package,
            std::string_view(reinterpret_cast<const char *>(archive->data()), archive->size()));
        if (!written.ok()) {
            written = written.error().in("cannot write '" + o.make_package + "'");
        }
    }
    if (!written.ok()) {
        std::fprintf(stderr, "hidiap: --make-package: %s\n", written.message().c_str());
        return kExitBadInput;
    }
    std::fprintf(stderr,
                 "hidiap: wrote the package '%s' (%llu bytes): image '%s', TTS '%s', token '%s'\n",
                 o.make_package.c_str(), static_cast<unsigned long long>(archive->size()),
                 m.image_name.c_str(), m.tts_name.c_str(), m.token.c_str());
    if (signer) {
        std::fprintf(stderr, "hidiap: signed with the key ID %s; trusted comment: %s\n",
                     signing::key_id_text(key.id).c_str(), comment.c_str());
    }
    return kExitSuccess;
}

base::Status open_package_step(Options &o, PackageInputs &package,
                               const std::vector<TrustedKey> &trusted) {
    if (base::Status read = read_package_file(o.package_path, package, trusted); !read.ok()) {
        return read;
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
    return {};
}

}  // namespace host
