// Whose firmware packages a run accepts: the trusted public keys and the revoked ones, and the
// judgement of a package's signatures against them.
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
// a key that was meant to be trusted (or revoked: `role` "revoked") and cannot be is never
// quietly left out.
base::Result<std::vector<TrustedKey>> load_trusted_keys(const std::vector<std::string> &files,
                                                        const std::string &folder,
                                                        const std::string &role = "trusted");

// The keys a run judges packages by. A key in both lists counts as revoked.
struct PackageKeys {
    std::vector<TrustedKey> trusted;
    std::vector<TrustedKey> revoked;
};

// The keys a run judges packages by, as the tool and the library load them: `trust` and the
// *.pub files of `trusted_folder`, `revoke` and those of `revoked_folder`. Refused as
// load_trusted_keys refuses, the trusted keys' refusal first.
base::Result<PackageKeys> load_package_keys(const std::vector<std::string> &trust,
                                            const std::string &trusted_folder,
                                            const std::vector<std::string> &revoke,
                                            const std::string &revoked_folder);

// The key of `keys` that made the signature over text[0, size): Good with it in `matched`, or how
// the one with its ID failed (keys with the same ID are each tried: an ID is not a key);
// OtherKey when none has its ID.
signing::Check check_with(const std::vector<TrustedKey> &keys, const signing::Signature &sig,
                          const uint8_t *text, size_t size, const TrustedKey *&matched);

// One signature member of a package.
struct SignatureEntry {
    std::string member;
    // "trusted" (verified by a trusted key), "revoked" (verified by a revoked key), "unknown"
    // (by a key known here neither way: not checked), "bad" (by a trusted or revoked key, and
    // it does not verify), "unreadable"
    std::string trust;
    std::string key_id;  // "" when unreadable
    std::string trusted_comment;
    std::string key_file;  // the trusted or revoked key it was checked with
    std::string why;       // for bad and unreadable: what is wrong
};

// A package's signatures as --dry-run, the JSON events and the standard error show them.
struct SignatureFacts {
    // "unsigned"; "verified" by a trusted key; "not checked" (no trusted key signed it, and none
    // has to); "unreadable"
    std::string status = "unsigned";
    // Of the signature that decided: the trusted one that verified it, else the first readable.
    std::string key_id;
    std::string trusted_comment;
    std::string key_file;  // the trusted key that verified it
    std::vector<SignatureEntry> signatures;
    bool revoked_too = false;  // it runs, and one of its signatures is by a revoked key
};

// Judges a package's signatures and whether it may run: `stored` is what
// formats::read_signed_manifest read of it, `package` what formats::read_package did. Refused
// when a signature is bad or unreadable, when every signature is by a revoked key, and, with
// trusted keys, when no trusted key signed it. A refusal begins with its kind (unsigned, unknown
// key ID, bad signature, revoked key, changed member). `facts` says what the signatures are,
// whatever the verdict.
base::Status judge_package(const base::Result<formats::SignedManifest> &stored,
                           const base::Result<formats::Package> &package, const PackageKeys &keys,
                           SignatureFacts &facts);

// The line that refuses loose files (IMAGE TTS TOKEN) while keys are trusted: they carry no
// signature, and accepting them would make the trust a formality.
std::string loose_files_refusal(const std::vector<TrustedKey> &trusted);

// The warning of a package that runs and is signed by a revoked key too, or "".
std::string revoked_too_warning(const std::string &path, const SignatureFacts &facts);

// One line about the signature (and one per signature when there are several), as --dry-run
// prints it after the inputs.
std::string describe_signature(const SignatureFacts &facts);

}  // namespace host
