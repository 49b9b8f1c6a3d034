#include "host/inputs/package_trust.h"

#include <algorithm>
#include <optional>

#include "formats/shown_text.h"
#include "host/inputs/file_reading.h"

namespace host {

namespace {

using base::Error;
using base::ErrorCode;
using formats::shown;

// A key file is two short lines; anything much larger is not one.
constexpr uint64_t kKeyFileLimit = 4096;

base::Result<signing::PublicKey> read_key_file(const std::string &path) {
    const base::Result<std::vector<uint8_t>> text = read_whole(path, kKeyFileLimit);
    if (!text.ok()) {
        return text.error();
    }
    return signing::read_public_key(std::string(text->begin(), text->end()));
}

std::string key_ids(const std::vector<TrustedKey> &trusted) {
    std::string ids;
    for (const TrustedKey &k : trusted) {
        ids += (ids.empty() ? "" : ", ") + signing::key_id_text(k.key.id);
    }
    return ids;
}

bool ends_with(const std::string &s, const std::string &end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The *.pub files of the folder, in order of their names; none when there is no such folder.
base::Result<std::vector<std::string>> keys_in_folder(const std::string &folder) {
    Env &e = env();
    const base::Result<FileFacts> facts = e.stat(folder);
    if (folder.empty() || !facts.ok() || facts->kind != FileKind::Directory) {
        return std::vector<std::string>();
    }
    base::Result<std::vector<std::string>> names = e.list_folder(folder);
    if (!names.ok()) {
        return Error(names.code(), "the folder of trusted keys '" + folder +
                                       "' cannot be read: " + names.message());
    }
    std::vector<std::string> found;
    const bool separated = ends_with(folder, "/") || ends_with(folder, "\\");
    for (const std::string &name : *names) {
        if (ends_with(name, ".pub")) {
            found.push_back(folder + (separated ? "" : "/") + name);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

base::Result<std::vector<TrustedKey>> load_trusted_keys(const std::vector<std::string> &files,
                                                        const std::string &folder) {
    std::vector<std::string> paths = files;
    base::Result<std::vector<std::string>> in_folder = keys_in_folder(folder);
    if (!in_folder.ok()) {
        return in_folder.error();
    }
    paths.insert(paths.end(), in_folder->begin(), in_folder->end());
    if (const base::Status started = signing::ready(); !started.ok()) {
        return started.error();
    }
    std::vector<TrustedKey> out;
    for (const std::string &path : paths) {
        base::Result<signing::PublicKey> key = read_key_file(path);
        if (!key.ok()) {
            return Error(key.code(),
                         "the trusted key '" + shown(path) + "' is unusable: " + key.message());
        }
        out.push_back({path, *key});
    }
    return out;
}

base::Status judge_package(const base::Result<formats::SignedManifest> &stored,
                           const base::Result<formats::Package> &package,
                           const std::vector<TrustedKey> &trusted, SignatureFacts &facts) {
    const base::Status own = package.ok() ? base::Status() : base::Status(package.error());
    std::optional<base::Result<signing::Signature>> sig;
    if (stored.ok() && stored->signed_package) {
        sig = signing::read_signature(stored->signature_text);
        facts.status = sig->ok() ? "not checked" : "unreadable";
        if (sig->ok()) {
            facts.key_id = signing::key_id_text((*sig)->id);
            facts.trusted_comment = (*sig)->trusted_comment;
        }
    }
    // Without a manifest there is nothing a signature could vouch for: the package's own refusal.
    if (trusted.empty() || !stored.ok() || stored->text.empty()) {
        return own;
    }
    const auto refuse = [](std::string why) { return Error(ErrorCode::InvalidInput, why); };
    if (!sig) {
        return refuse(std::string("unsigned: it has no signature (") + formats::kSignatureName +
                      "), and only packages signed by a trusted key are accepted");
    }
    if (!sig->ok()) {
        return refuse(std::string("bad signature: ") + formats::kSignatureName +
                      " is unreadable: " + sig->message());
    }
    // Keys with the same ID are each tried: an ID is not a key.
    signing::Check worst = signing::Check::OtherKey;
    for (const TrustedKey &k : trusted) {
        const signing::Check c =
            signing::verify(k.key, **sig, stored->text.data(), stored->text.size());
        if (c == signing::Check::Good) {
            facts.status = "verified";
            facts.key_file = k.file;
            if (!own.ok() && own.code() == ErrorCode::Corrupt) {
                return Error(ErrorCode::Corrupt, "changed member: " + own.message());
            }
            return own;
        }
        if (c != signing::Check::OtherKey) {
            worst = c;
        }
    }
    switch (worst) {
        case signing::Check::OtherKey:
            return refuse(
                "unknown key ID " + facts.key_id +
                ": it was signed by a key that is not trusted (trusted: " + key_ids(trusted) + ")");
        case signing::Check::ChangedComment:
            return refuse(
                "bad signature: the trusted comment does not match its signature by key "
                "ID " +
                facts.key_id + " (it was changed)");
        default:
            return refuse(std::string("bad signature: ") + formats::kManifestName +
                          " does not match its signature by key ID " + facts.key_id);
    }
}

std::string describe_signature(const SignatureFacts &f) {
    if (f.status == "unsigned" || f.status == "unreadable") {
        return "  signature: " + f.status + "\n";
    }
    std::string text = "  signature: " + f.status + ", key ID " + f.key_id;
    if (!f.key_file.empty()) {
        text += " (trusted key '" + shown(f.key_file) + "')";
    }
    return text + ", trusted comment: " + shown(f.trusted_comment) + "\n";
}

std::string loose_files_refusal(const std::vector<TrustedKey> &trusted) {
    return "hidiap: refused: a key is trusted (" +
           (trusted.empty() ? std::string() : trusted.front().file) +
           "), so only firmware packages signed by a trusted key run, not IMAGE TTS TOKEN; "
           "nothing was sent\n";
}

}  // namespace host
