#include "host/app/package_steps.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "formats/sha256.h"
#include "host/events/exit_status.h"
#include "host/inputs/run_inputs.h"
#include "host/inputs/unit_values.h"
#include "host/platform/env.h"
#include "host/platform/secret_input.h"
#include "signing/minisign.h"

namespace host {

namespace {

// More than any file the inputs step accepts; a file that grew past it since is not read.
constexpr uint64_t kInputFileLimit = 64u << 20;
// A secret key file is two short lines.
constexpr uint64_t kKeyFileLimit = 4096;
// A package of two members of four times the image buffer each, and its manifest.
constexpr uint64_t kPackageLimit = 8ull * 0x1FC000 + (1u << 20);

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
    const std::pair<const char *, std::string> inputs[] = {{"the image", o.image_path},
                                                           {"the TTS file", o.tts_path}};
    for (const std::string &key : o.sign_keys) {
        if (same_file(key, o.make_package)) {
            return "the output '" + o.make_package +
                   "' is the secret key it is made from; no package was written";
        }
    }
    for (const auto &[role, path] : inputs) {
        if (!path.empty() && same_file(path, o.make_package)) {
            return "the output '" + o.make_package + "' is " + role +
                   " it is made from; no package was written";
        }
    }
    return "";
}

// The date the package's entries carry: SOURCE_DATE_EPOCH when it is set, so that a release's
// package shows its release date and still builds the same twice, else 1980-01-01. "" or why
// the variable is unusable.
std::string package_date(uint32_t &dos_time) {
    dos_time = 0x210000;  // 1980-01-01 00:00
    const char *epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') {
        return "";
    }
    const std::string text = epoch;
    if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return "SOURCE_DATE_EPOCH '" + text +
               "' is not a number of seconds since 1970-01-01 (UTC); no package was written";
    }
    dos_time = formats::dos_time_of(static_cast<int64_t>(std::stoll(text)));
    return "";
}

// The signers of the --sign keys, each opened (and its password asked for) before anything is
// written; `made` collects the key ID and trusted comment of each signature made.
base::Status open_signers(const Options &o, std::vector<signing::SecretKey> &keys,
                          std::vector<formats::ManifestSigner> &signers,
                          std::vector<std::pair<std::string, std::string>> &made) {
    keys.reserve(o.sign_keys.size());
    for (const std::string &path : o.sign_keys) {
        base::Result<signing::SecretKey> opened = open_signing_key(path);
        if (!opened.ok()) {
            return opened.error();
        }
        keys.push_back(*opened);
    }
    for (size_t i = 0; i < keys.size(); i++) {
        signers.push_back([&keys, &made, i](const std::string &manifest,
                                            const formats::Manifest &signed_manifest)
                              -> base::Result<formats::MadeSignature> {
            const std::string comment = trusted_comment(signed_manifest);
            base::Result<std::string> signature =
                signing::sign(keys[i], reinterpret_cast<const uint8_t *>(manifest.data()),
                              manifest.size(), comment);
            if (!signature.ok()) {
                return base::Error(signature.code(),
                                   "--sign: the firmware version and product must be one line of "
                                   "at most 1024 bytes together");
            }
            made.emplace_back(signing::key_id_text(keys[i].id), comment);
            return formats::MadeSignature{signing::key_id_text(keys[i].id), *signature};
        });
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

int keys_step(const Options &o, PackageKeys &keys) {
    base::Result<PackageKeys> loaded = load_package_keys(
        o.trust, o.trusted_keys_dir.empty() ? trusted_keys_folder() : o.trusted_keys_dir, o.revoke,
        o.revoked_keys_dir.empty() ? revoked_keys_folder() : o.revoked_keys_dir);
    if (!loaded.ok()) {
        std::fprintf(stderr, "hidiap: %s; nothing was sent\n", loaded.message().c_str());
        return kExitBadInput;
    }
    keys = std::move(*loaded);
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
    m.has_security_counter = o.has_security_counter;
    m.security_counter = o.security_counter;
    m.product = o.product;
    m.has_ids = o.vid_given;
    m.vendor_id = o.device.vendor_id;
    m.product_id = o.device.product_id;
    for (const std::string &text : o.unit_fields) {
        base::Result<formats::UnitField> field = formats::parse_unit_field(text);
        if (!field.ok()) {
            std::fprintf(stderr, "hidiap: --unit-field: %s; no package was written\n",
                         field.message().c_str());
            return kExitBadInput;
        }
        m.unit_fields.push_back(*field);
    }
    if (const base::Status fits = check_unit_fields(m.unit_fields, inputs.layout); !fits.ok()) {
        std::fprintf(stderr, "hidiap: --unit-field: %s; no package was written\n",
                     fits.message().c_str());
        return kExitBadInput;
    }
    uint32_t dos_time = 0;
    if (const std::string why = package_date(dos_time); !why.empty()) {
        std::fprintf(stderr, "hidiap: --make-package: %s\n", why.c_str());
        return kExitBadInput;
    }
    std::vector<signing::SecretKey> keys;
    std::vector<formats::ManifestSigner> signers;
    std::vector<std::pair<std::string, std::string>> made;
    if (const base::Status opened = open_signers(o, keys, signers, made); !opened.ok()) {
        std::fprintf(stderr, "hidiap: --sign: %s; no package was written\n",
                     opened.message().c_str());
        return kExitBadInput;
    }
    const base::Result<std::vector<uint8_t>> archive =
        formats::write_package(m, *image, *tts, signers, dos_time);
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
    for (const auto &[id, comment] : made) {
        std::fprintf(stderr, "hidiap: signed with the key ID %s; trusted comment: %s\n", id.c_str(),
                     comment.c_str());
    }
    return kExitSuccess;
}

int sign_package_step(const Options &o) {
    const std::string &path = o.sign_package;
    base::Result<std::string> read = read_file(path, kPackageLimit);
    if (!read.ok()) {
        std::fprintf(stderr, "hidiap: package sign: cannot read '%s': %s\n", path.c_str(),
                     read.message().c_str());
        return kExitBadInput;
    }
    std::vector<uint8_t> archive(read->begin(), read->end());
    // What is signed is the manifest as it is stored, which must be a package's.
    const base::Result<formats::Package> package =
        formats::read_package(archive.data(), archive.size(), kPackageLimit);
    if (!package.ok()) {
        std::fprintf(stderr, "hidiap: package sign: '%s' is not a usable package: %s\n",
                     path.c_str(), package.message().c_str());
        return kExitBadInput;
    }
    std::vector<std::string> signed_by;
    for (const formats::SignatureMember &member : package->stored.signatures) {
        const base::Result<signing::Signature> sig = signing::read_signature(member.text);
        if (sig.ok()) {
            signed_by.push_back(signing::key_id_text(sig->id));
        }
    }
    std::vector<signing::SecretKey> keys;
    std::vector<formats::ManifestSigner> signers;
    std::vector<std::pair<std::string, std::string>> made;
    if (const base::Status opened = open_signers(o, keys, signers, made); !opened.ok()) {
        std::fprintf(stderr, "hidiap: --sign: %s; the package was not changed\n",
                     opened.message().c_str());
        return kExitBadInput;
    }
    const std::string manifest(package->stored.text.begin(), package->stored.text.end());
    for (const formats::ManifestSigner &signer : signers) {
        base::Result<formats::MadeSignature> signature = signer(manifest, package->manifest);
        base::Result<std::vector<uint8_t>> grown =
            signature.ok() ? base::Result<std::vector<uint8_t>>(base::Error(
                                 base::ErrorCode::InvalidInput,
                                 "the key ID " + signature->key_id + " signed it already"))
                           : base::Result<std::vector<uint8_t>>(signature.error());
        if (signature.ok() &&
            std::find(signed_by.begin(), signed_by.end(), signature->key_id) == signed_by.end()) {
            grown =
                formats::add_signature(archive.data(), archive.size(), *signature, kPackageLimit);
        }
        if (!grown.ok()) {
            std::fprintf(stderr, "hidiap: package sign: %s; the package was not changed\n",
                         grown.message().c_str());
            return kExitBadInput;
        }
        signed_by.push_back(signature->key_id);
        archive = std::move(*grown);
    }
    // Written beside it and put in its place whole, as package make writes.
    const base::Status written = write_file_atomically(
        path, std::string_view(reinterpret_cast<const char *>(archive.data()), archive.size()));
    if (!written.ok()) {
        std::fprintf(stderr, "hidiap: package sign: cannot write '%s': %s\n", path.c_str(),
                     written.message().c_str());
        return kExitBadInput;
    }
    for (const auto &[id, comment] : made) {
        std::fprintf(stderr,
                     "hidiap: package '%s' signed with the key ID %s (%zu signatures); trusted "
                     "comment: %s\n",
                     path.c_str(), id.c_str(), signed_by.size(), comment.c_str());
    }
    return kExitSuccess;
}

base::Status open_package_step(Options &o, PackageInputs &package, const PackageKeys &keys) {
    if (base::Status read = read_package_file(o.package_path, package, keys); !read.ok()) {
        return read;
    }
    std::fputs(revoked_too_warning(o.package_path, package.signature).c_str(), stderr);
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

namespace {

// The package file's SHA-256, which a job names.
base::Result<std::string> package_sha256(const std::string &path) {
    const base::Result<std::string> bytes = read_file(path, kPackageLimit);
    if (!bytes.ok()) {
        return bytes.error().in("cannot read the package '" + path + "'");
    }
    return formats::sha256_hex(reinterpret_cast<const uint8_t *>(bytes->data()), bytes->size());
}

int job_refused(const std::string &why) {
    std::fprintf(stderr, "hidiap: --job: %s; nothing was sent\n", why.c_str());
    return kExitBadInput;
}

}  // namespace

int make_job_step(const Options &o) {
    StationJob job;
    job.count = o.count;
    job.stations = o.job_stations;
    job.until = o.job_until;
    int64_t end = 0;
    if (!job.until.empty() && !job_day_end(job.until, end)) {
        std::fprintf(stderr, "hidiap: job make: --until '%s' is not a date YYYY-MM-DD\n",
                     job.until.c_str());
        return kExitBadInput;
    }
    const base::Result<std::string> sha = package_sha256(o.job_package);
    if (!sha.ok()) {
        std::fprintf(stderr, "hidiap: job make: %s\n", sha.message().c_str());
        return kExitBadInput;
    }
    job.package_sha256 = *sha;
    const base::Result<signing::SecretKey> key = open_signing_key(o.sign_keys.front());
    if (!key.ok()) {
        std::fprintf(stderr, "hidiap: job make: %s\n", key.message().c_str());
        return kExitBadInput;
    }
    const std::string text = job_text(job);
    std::string comment = "job:" + member_name(o.make_job) + "\tcount:" + std::to_string(job.count);
    const base::Result<std::string> signature =
        signing::sign(*key, reinterpret_cast<const uint8_t *>(text.data()), text.size(), comment);
    if (!signature.ok()) {
        std::fprintf(stderr, "hidiap: job make: %s\n", signature.message().c_str());
        return kExitBadInput;
    }
    // The signature first: a job file without its signature is refused, never one signed
    // for other content.
    const std::string sig_path = o.make_job + ".minisig";
    for (const auto &[path, data] : {std::pair<std::string, std::string>{sig_path, *signature},
                                     std::pair<std::string, std::string>{o.make_job, text}}) {
        if (const base::Status written = write_file_atomically(path, data); !written.ok()) {
            std::fprintf(stderr, "hidiap: job make: cannot write '%s': %s\n", path.c_str(),
                         written.message().c_str());
            return kExitBadInput;
        }
    }
    std::fprintf(stderr, "hidiap: job make: wrote '%s' and '%s' (%llu boards, key %s)\n",
                 o.make_job.c_str(), sig_path.c_str(), static_cast<unsigned long long>(job.count),
                 signing::key_id_text(key->id).c_str());
    return kExitSuccess;
}

int job_step(const Options &o, const PackageKeys &keys, RunRecords &records, StationJob &job) {
    if (o.package_path.empty()) {
        return job_refused("a job runs its firmware package only, not IMAGE TTS TOKEN");
    }
    if (!o.image_format.empty() || !o.tts_format.empty()) {
        return job_refused("--format and --tts-format do not apply to a job's package");
    }
    const base::Result<std::string> sha = package_sha256(o.package_path);
    if (!sha.ok()) {
        return job_refused(sha.message());
    }
    const std::string station = o.station_name.empty() ? env().host_name() : o.station_name;
    base::Result<StationJob> judged =
        read_station_job(o.job, keys, station, *sha, env().wall_now());
    if (!judged.ok()) {
        return job_refused(judged.message());
    }
    job = *judged;
    if (o.dry_run) {
        return 0;
    }
    const base::Result<uint64_t> done = records.job_successes(job.id);
    if (!done.ok()) {
        return job_refused(done.message());
    }
    if (*done >= job.count) {
        return job_refused("the job '" + o.job + "' has no boards left: " + std::to_string(*done) +
                           " of " + std::to_string(job.count) + " were updated");
    }
    records.set_job(job.id);
    return 0;
}

}  // namespace host
