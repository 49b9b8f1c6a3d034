#include "host/inputs/package_trust.h"

#include <algorithm>
#include <utility>

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
base::Result<std::vector<std::string>> keys_in_folder(const std::string &folder,
                                                      const std::string &role) {
    Env &e = env();
    const base::Result<FileFacts> facts = e.stat(folder);
    if (folder.empty() || !facts.ok() || facts->kind != FileKind::Directory) {
        return std::vector<std::string>();
    }
    base::Result<std::vector<std::string>> names = e.list_folder(folder);
    if (!names.ok()) {
        return Error(names.code(), "the folder of " + role + " keys '" + folder +
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
                                                        const std::string &folder,
                                                        const std::string &role) {
    std::vector<std::string> paths = files;
    base::Result<std::vector<std::string>> in_folder = keys_in_folder(folder, role);
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
            return Error(key.code(), "the " + role + " key '" + shown(path) +
                                         "' is unusable: " + key.message());
        }
        out.push_back({path, *key});
    }
    return out;
}

base::Result<PackageKeys> load_package_keys(const std::vector<std::string> &trust,
                                            const std::string &trusted_folder,
                                            const std::vector<std::string> &revoke,
                                            const std::string &revoked_folder) {
    base::Result<std::vector<TrustedKey>> trusted = load_trusted_keys(trust, trusted_folder);
    if (!trusted.ok()) {
        return trusted.error();
    }
    base::Result<std::vector<TrustedKey>> revoked =
        load_trusted_keys(revoke, revoked_folder, "revoked");
    if (!revoked.ok()) {
        return revoked.error();
    }
    PackageKeys keys;
    keys.trusted = std::move(*trusted);
    keys.revoked = std::move(*revoked);
    return keys;
}

signing::Check check_with(const std::vector<TrustedKey> &keys, const signing::Signature &sig,
                          const uint8_t *text, size_t size, const TrustedKey *&matched) {
    signing::Check worst = signing::Check::OtherKey;
    for (const TrustedKey &k : keys) {
        const signing::Check c = signing::verify(k.key, sig, text, size);
        if (c == signing::Check::Good) {
            matched = &k;
            return c;
        }
        if (c != signing::Check::OtherKey) {
            worst = c;
            matched = &k;
        }
    }
    return worst;
}

namespace {

// One signature member judged against the keys.
SignatureEntry judge_one(const formats::SignatureMember &member, const std::vector<uint8_t> &text,
                         const PackageKeys &keys) {
    SignatureEntry e;
    e.member = member.name;
    const base::Result<signing::Signature> sig =
        member.read ? signing::read_signature(member.text)
                    : base::Result<signing::Signature>(
                          Error(ErrorCode::InvalidInput, "it cannot be taken out of the archive"));
    if (!sig.ok()) {
        e.trust = "unreadable";
        e.why = shown(member.name) + " is unreadable: " + sig.message();
        return e;
    }
    e.key_id = signing::key_id_text(sig->id);
    e.trusted_comment = sig->trusted_comment;
    for (const auto &[list, word] :
         {std::pair<const std::vector<TrustedKey> *, const char *>{&keys.revoked, "revoked"},
          {&keys.trusted, "trusted"}}) {
        const TrustedKey *matched = nullptr;
        const signing::Check c = check_with(*list, *sig, text.data(), text.size(), matched);
        if (c == signing::Check::OtherKey) {
            continue;
        }
        e.key_file = matched->file;
        if (c == signing::Check::Good) {
            e.trust = word;
        } else {
            e.trust = "bad";
            e.why = c == signing::Check::ChangedComment
                        ? "the trusted comment does not match its signature by key ID " + e.key_id +
                              " (it was changed)"
                        : std::string(formats::kManifestName) +
                              " does not match its signature by key ID " + e.key_id;
        }
        return e;
    }
    e.trust = "unknown";
    return e;
}

}  // namespace

base::Status judge_package(const base::Result<formats::SignedManifest> &stored,
                           const base::Result<formats::Package> &package, const PackageKeys &keys,
                           SignatureFacts &facts) {
    const base::Status own = package.ok() ? base::Status() : base::Status(package.error());
    // Without a manifest there is nothing a signature could vouch for: the package's own refusal.
    if (!stored.ok() || stored->text.empty()) {
        return own;
    }
    const std::vector<TrustedKey> &trusted = keys.trusted;
    const SignatureEntry *decided = nullptr;
    const SignatureEntry *bad = nullptr;
    size_t revoked = 0;
    for (const formats::SignatureMember &member : stored->signatures) {
        facts.signatures.push_back(judge_one(member, stored->text, keys));
    }
    for (const SignatureEntry &e : facts.signatures) {
        if (e.trust == "trusted" && (decided == nullptr || decided->trust != "trusted")) {
            decided = &e;
        } else if (decided == nullptr && !e.key_id.empty()) {
            decided = &e;
        }
        if ((e.trust == "bad" || e.trust == "unreadable") && bad == nullptr) {
            bad = &e;
        }
        revoked += e.trust == "revoked" ? 1 : 0;
    }
    if (!facts.signatures.empty()) {
        facts.status = decided == nullptr            ? "unreadable"
                       : decided->trust == "trusted" ? "verified"
                                                     : "not checked";
    }
    if (decided != nullptr) {
        facts.key_id = decided->key_id;
        facts.trusted_comment = decided->trusted_comment;
        if (decided->trust == "trusted") {
            facts.key_file = decided->key_file;
        }
    }
    const auto refuse = [](std::string why) { return Error(ErrorCode::InvalidInput, why); };
    if (bad != nullptr) {
        return refuse("bad signature: " + bad->why);
    }
    if (!facts.signatures.empty() && revoked == facts.signatures.size()) {
        std::string which;
        for (const SignatureEntry &e : facts.signatures) {
            which += (which.empty() ? "" : ", ") + std::string("key ID ") + e.key_id + " ('" +
                     shown(e.key_file) + "')";
        }
        return refuse("revoked key: it is signed only by keys that were revoked (" + which +
                      "), and a revoked key's signature is never accepted");
    }
    facts.revoked_too = revoked > 0;
    if (trusted.empty()) {
        return own;
    }
    if (facts.signatures.empty()) {
        return refuse(std::string("unsigned: it has no signature (") + formats::kSignatureName +
                      "), and only packages signed by a trusted key are accepted");
    }
    if (facts.status != "verified") {
        std::string unknown;
        for (const SignatureEntry &e : facts.signatures) {
            if (e.trust == "unknown") {
                unknown = e.key_id;
                break;
            }
        }
        return refuse("unknown key ID " + unknown +
                      ": it was signed by a key that is not trusted (trusted: " + key_ids(trusted) +
                      ")");
    }
    if (!own.ok() && own.code() == ErrorCode::Corrupt) {
        return Error(ErrorCode::Corrupt, "changed member: " + own.message());
    }
    return own;
}

std::string revoked_too_warning(const std::string &path, const SignatureFacts &f) {
    if (!f.revoked_too) {
        return "";
    }
    std::string which;
    for (const SignatureEntry &e : f.signatures) {
        if (e.trust == "revoked") {
            which += (which.empty() ? "" : ", ") + std::string("key ID ") + e.key_id +
                     ", revoked by '" + shown(e.key_file) + "'";
        }
    }
    return "hidiap: warning: package '" + shown(path) +
           "': one of its signatures is by a revoked key (" + which + "); it runs for its " +
           (f.status == "verified" ? "signature by the trusted key ID " + f.key_id
                                   : std::string("other signatures")) +
           "\n";
}

std::string describe_signature(const SignatureFacts &f) {
    std::string text;
    if (f.status == "unsigned" || f.status == "unreadable") {
        text = "  signature: " + f.status + "\n";
    } else {
        text = "  signature: " + f.status + ", key ID " + f.key_id;
        if (!f.key_file.empty()) {
            text += " (trusted key '" + shown(f.key_file) + "')";
        }
        text += ", trusted comment: " + shown(f.trusted_comment) + "\n";
    }
    if (f.signatures.size() > 1 || f.revoked_too) {
        for (const SignatureEntry &e : f.signatures) {
            text += "    " + e.member + ": " + e.trust +
                    (e.key_id.empty() ? std::string() : ", key ID " + e.key_id) + "\n";
        }
    }
    return text;
}
std::string loose_files_refusal(const std::vector<TrustedKey> &trusted) {
    return "hidiap: refused: a key is trusted (" +
           (trusted.empty() ? std::string() : trusted.front().file) +
           "), so only firmware packages signed by a trusted key run, not IMAGE TTS TOKEN; "
           "nothing was sent\n";
}

}  // namespace host
