// Whose firmware packages a run accepts: the trusted public keys, and the judgement of a
// package's signature against them.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "formats/firmware_package.h"
#include "signing/minisign.h"

namespace host {

struct TrustedKey {
    std::string file;  // where it was read from, to name it
    signing::PublicKey key;
};

// Reads each of `files` and every *.pub file in `folder` (none when the folder does not exist),
// in that order, through the Env. Refused, with the file and why, when one of them is unusable:
// a key that was meant to be trusted and cannot be is never quietly left out.
base::Result<std::vector<TrustedKey>> load_trusted_keys(const std::vector<std::string> &files,
                                                        const std::string &folder);

// A package's signature as --dry-run, the JSON events and the standard error show it.
struct SignatureFacts {
    // "unsigned"; "verified" by a trusted key; "not checked" (no key is trusted); "unreadable"
    std::string status = "unsigned";
    std::string key_id;
    std::string trusted_comment;
    std::string key_file;  // the trusted key that verified it
};

// Judges a package's signature and, with trusted keys, whether it may run: `stored` is what
// formats::read_signed_manifest read of it, `package` what formats::read_package did. A refusal
// begins with its kind (unsigned, unknown key ID, bad signature, changed member); without
// trusted keys only the package's own refusal refuses it, as for any package. `facts` says what
// the signature is, whatever the verdict.
base::Status judge_package(const base::Result<formats::SignedManifest> &stored,
                           const base::Result<formats::Package> &package,
                           const std::vector<TrustedKey> &trusted, SignatureFacts &facts);

// The line that refuses loose files (IMAGE TTS TOKEN) while keys are trusted: they carry no
// signature, and accepting them would make the trust a formality.
std::string loose_files_refusal(const std::vector<TrustedKey> &trusted);

// One line about the signature, as --dry-run prints it after the inputs.
std::string describe_signature(const SignatureFacts &facts);

}  // namespace host
