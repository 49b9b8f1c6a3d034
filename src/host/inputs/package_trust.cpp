#include "host/inputs/package_trust.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace host {

namespace {

// A key file is two short lines; anything much larger is not one.
constexpr std::streamsize kKeyFileLimit = 4096;

std::string read_key_file(const std::string &path, signing::PublicKey &key) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "cannot be read";
    }
    std::string text(kKeyFileLimit + 1, '\0');
    in.read(text.data(), kKeyFileLimit + 1);
    text.resize(static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        return "cannot be read";
    }
    return signing::read_public_key(text, key);
}

std::string key_ids(const std::vector<TrustedKey> &trusted) {
    std::string ids;
    for (const TrustedKey &k : trusted) {
        ids += (ids.empty() ? "" : ", ") + signing::key_id_text(k.key.id);
    }
    return ids;
}

}  // namespace

std::string load_trusted_keys(const std::vector<std::string> &files, const std::string &folder,
                              std::vector<TrustedKey> &out) {
    std::vector<std::string> paths = files;
    std::error_code ec;
    if (!folder.empty() && std::filesystem::is_directory(folder, ec)) {
        std::vector<std::string> found;
        for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->path().extension() == ".pub") {
                found.push_back(it->path().string());
            }
        }
        if (ec) {
            return "the folder of trusted keys '" + folder + "' cannot be read: " + ec.message();
        }
        std::sort(found.begin(), found.end());
        paths.insert(paths.end(), found.begin(), found.end());
    }
    if (!signing::ready()) {
        return "the cryptography library could not start";
    }
    for (const std::string &path : paths) {
        TrustedKey k;
        k.file = path;
        if (const std::string why = read_key_file(path, k.key); !why.empty()) {
            return "the trusted key '" + path + "' is unusable: " + why;
        }
        out.push_back(k);
    }
    return "";
}

std::string judge_package(const formats::Package &package, const std::vector<TrustedKey> &trusted,
                          SignatureFacts &facts) {
    signing::Signature sig;
    std::string unreadable;
    if (package.signed_package) {
        unreadable = signing::read_signature(package.signature_text, sig);
        facts.status = unreadable.empty() ? "not checked" : "unreadable";
        if (unreadable.empty()) {
            facts.key_id = signing::key_id_text(sig.id);
            facts.trusted_comment = sig.trusted_comment;
        }
    }
    // Without a manifest there is nothing a signature could vouch for: the package's own error.
    if (trusted.empty() || package.manifest_text.empty()) {
        return package.error;
    }
    if (!package.signed_package) {
        return std::string("unsigned: it has no signature (") + formats::kSignatureName +
               "), and only packages signed by a trusted key are accepted";
    }
    if (!unreadable.empty()) {
        return std::string("bad signature: ") + formats::kSignatureName +
               " is unreadable: " + unreadable;
    }
    // Keys with the same ID are each tried: an ID is not a key.
    signing::Check worst = signing::Check::OtherKey;
    for (const TrustedKey &k : trusted) {
        const signing::Check c =
            signing::verify(k.key, sig, package.manifest_text.data(), package.manifest_text.size());
        if (c == signing::Check::Good) {
            facts.status = "verified";
            facts.key_file = k.file;
            if (package.member_changed) {
                return "changed member: " + package.error;
            }
            return package.error;
        }
        if (c != signing::Check::OtherKey) {
            worst = c;
        }
    }
    switch (worst) {
        case signing::Check::OtherKey:
            return "unknown key ID " + facts.key_id +
                   ": it was signed by a key that is not trusted " +
                   "(trusted: " + key_ids(trusted) + ")";
        case signing::Check::ChangedComment:
            return "bad signature: the trusted comment does not match its signature by key ID " +
                   facts.key_id + " (it was changed)";
        default:
            return std::string("bad signature: ") + formats::kManifestName +
                   " does not match its signature by key ID " + facts.key_id;
    }
}

std::string describe_signature(const SignatureFacts &f) {
    if (f.status == "unsigned" || f.status == "unreadable") {
        return "  signature: " + f.status + "\n";
    }
    std::string text = "  signature: " + f.status + ", key ID " + f.key_id;
    if (!f.key_file.empty()) {
        text += " (trusted key '" + f.key_file + "')";
    }
    return text + ", trusted comment: " + f.trusted_comment + "\n";
}

std::string loose_files_refusal(const std::vector<TrustedKey> &trusted) {
    return "hidiap: refused: a key is trusted (" +
           (trusted.empty() ? std::string() : trusted.front().file) +
           "), so only firmware packages signed by a trusted key run, not IMAGE TTS TOKEN; "
           "nothing was sent\n";
}

}  // namespace host
