// package show PACKAGE: what a firmware package holds, and whether a run here would take it.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "console/console.h"
#include "formats/sha256.h"
#include "formats/shown_text.h"
#include "host/app/package_steps.h"
#include "host/events/exit_status.h"
#include "host/platform/env.h"
#include "host/platform/system_folders.h"
#include "host/present/json_events.h"

namespace host {

namespace {

// As a run reads a package: members up to four times the image buffer, 8,323,072 bytes (a HEX
// file of a full image), and an archive of two of them and its manifest.
constexpr uint64_t kMemberLimit = 4ull * 0x1FC000;
constexpr uint64_t kArchiveLimit = 2 * kMemberLimit + (1u << 20);

struct Contents {
    uint64_t bytes = 0;
    std::string sha256;
    // What it holds when it reads whole: a package the reader refuses (a changed member, a
    // missing one) has only its refusal, which names the member and both digests.
    std::optional<formats::Package> package;
};

// The package read once more for what it holds, whether or not it would run; the run's own
// reading took the file already, so it is within the run's limit.
Contents contents_of(const std::string &path) {
    const base::Result<std::string> read = read_file(path, kArchiveLimit);
    const std::string empty;
    const std::string &bytes = read.ok() ? read.value() : empty;
    Contents c;
    c.bytes = bytes.size();
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
    c.sha256 = formats::sha256_hex(data, bytes.size());
    base::Result<formats::Package> package =
        formats::read_package(data, bytes.size(), kMemberLimit);
    if (package.ok()) {
        c.package = std::move(*package);
    }
    return c;
}

std::string hex4(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

// A member the reader took: its bytes are what the manifest's digest says.
struct Member {
    const char *role;  // "image" or "TTS"
    std::string name;
    const std::vector<uint8_t> *bytes;
    const InputFacts *facts;  // when the run's loading took it
};

std::vector<Member> members_of(const Contents &c, const Inputs &inputs) {
    if (!c.package) {
        return {};
    }
    const formats::Manifest &m = c.package->manifest;
    std::vector<Member> members = {{"image", m.image_name, &c.package->image, nullptr},
                                   {"TTS", m.tts_name, &c.package->tts, nullptr}};
    for (Member &member : members) {
        for (const InputFacts &f : inputs.facts) {
            if (f.role == member.role) {
                member.facts = &f;
            }
        }
    }
    return members;
}

// Whether a run here takes the package: its reading and judging, then its members loaded as
// the run loads them (their size lines kept off the screen). "" or why not.
std::string judge_here(const Options &o, const PackageKeys &keys, PackageInputs &judged,
                       Inputs &inputs) {
    if (const base::Status read = read_package_file(o.show_package, judged, keys); !read.ok()) {
        return read.message();
    }
    const formats::Manifest &m = judged.manifest;
    const InputRequest request{o.show_package + ":" + m.image_name,
                               o.show_package + ":" + m.tts_name, m.token, "", ""};
    ConsoleSinkScope quiet([](std::string_view) {});
    if (!load_inputs(request, inputs, &judged)) {
        return "a member is unusable as the image or the TTS file (said above)";
    }
    return "";
}

std::string trust_line(const SignatureFacts &sig, const std::vector<TrustedKey> &trusted) {
    if (sig.status == "verified") {
        return "yes: verified with '" + sig.key_file + "'";
    }
    if (trusted.empty()) {
        return std::string("none is trusted here (--trust, or a .pub file in ") +
               trusted_keys_folder_text() + ")";
    }
    return "no: not signed by a trusted key";
}

// A member's format, size and checksum: the reader checked it against the manifest's.
std::vector<std::string> member_lines(const Member &member) {
    std::string first = formats::shown(member.name);
    if (member.facts != nullptr) {
        first += ", " + member.facts->format + ", " + std::to_string(member.facts->file_bytes) +
                 " bytes (" + std::to_string(member.facts->data_bytes) + " of data)";
    } else {
        first += ", " + std::to_string(member.bytes->size()) + " bytes";
    }
    return {first, "SHA-256 " + formats::sha256_hex(member.bytes->data(), member.bytes->size()) +
                       " (checked)"};
}

void print_text(const Options &o, const Contents &c, const std::vector<Member> &members,
                const SignatureFacts &sig, const std::vector<TrustedKey> &trusted,
                const std::string &refusal) {
    std::string out;
    const auto line = [&out](const char *label, const std::vector<std::string> &values) {
        std::string head = std::string(label) + ":";
        for (const std::string &value : values) {
            head.append(head.size() < 18 ? 18 - head.size() : 1, ' ');
            out += head + value + "\n";
            head.clear();
        }
    };
    line("package", {formats::shown(o.show_package) + ", " + std::to_string(c.bytes) + " bytes",
                     "SHA-256 " + c.sha256});
    if (c.package) {
        const formats::Manifest &m = c.package->manifest;
        line("manifest",
             {std::string(formats::kManifestName) + ", format " + std::to_string(m.format)});
        for (const Member &member : members) {
            line(member.role, member_lines(member));
        }
        line("token", {formats::shown(m.token) + " (TTS data at " +
                       (token_is_1mb(m.token) ? "0x080000" : "0x180000") + ")"});
        line("firmware version",
             {m.firmware_version.empty() ? "-" : formats::shown(m.firmware_version)});
        line("security counter",
             {m.has_security_counter ? std::to_string(m.security_counter) : "- (counts as 0)"});
        line("product", {m.product.empty() ? "- (any product string)" : formats::shown(m.product)});
        line("device IDs", {m.has_ids ? hex4(m.vendor_id) + ":" + hex4(m.product_id)
                                      : "- (the default IDs, or --vid and --pid)"});
    }
    if (sig.signatures.empty()) {
        line("signature", {sig.status});
    } else if (sig.signatures.size() == 1 && sig.signatures.front().trust == "unreadable") {
        line("signature", {"unreadable"});
    } else {
        // One line per signature: its key ID and what its key is here.
        std::vector<std::string> each;
        for (const SignatureEntry &e : sig.signatures) {
            const std::string what = e.trust == "unknown" ? "unknown (not checked)" : e.trust;
            const std::string head =
                e.key_id.empty() ? formats::shown(e.member) : "key ID " + e.key_id;
            each.push_back(
                head + ", " + what +
                (e.key_file.empty() ? std::string() : " ('" + formats::shown(e.key_file) + "')"));
        }
        line(sig.signatures.size() == 1 ? "signature" : "signatures", each);
        line("trusted comment", {formats::shown(sig.trusted_comment)});
    }
    line("trusted key", {trust_line(sig, trusted)});
    line("runs here", {refusal.empty() ? "yes" : "no: " + formats::shown(refusal)});
    std::fputs(out.c_str(), stdout);
}

nlohmann::ordered_json text_or_null(const std::string &s) {
    return s.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(s);
}

void print_json(const Options &o, const Contents &c, const std::vector<Member> &members,
                const SignatureFacts &sig, const std::vector<TrustedKey> &trusted,
                const std::string &refusal) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Member &member : members) {
        nlohmann::ordered_json j = {{"role", member.role}, {"name", member.name}};
        j["format"] = member.facts != nullptr ? nlohmann::ordered_json(member.facts->format)
                                              : nlohmann::ordered_json(nullptr);
        j["bytes"] = member.bytes->size();
        j["sha256"] = formats::sha256_hex(member.bytes->data(), member.bytes->size());
        list.push_back(j);
    }
    const formats::Manifest none;
    const formats::Manifest &m = c.package ? c.package->manifest : none;
    const auto known = [&c](nlohmann::ordered_json value) {
        return c.package ? value : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json fields = {
        {"path", o.show_package}, {"bytes", c.bytes}, {"sha256", c.sha256}};
    fields["format"] = known(m.format);
    fields["members"] = list;
    fields["token"] = known(m.token);
    fields["tts_addr"] = known(token_is_1mb(m.token) ? kTtsAddr1Mb : kTtsAddrOther);
    fields["firmware_version"] = text_or_null(m.firmware_version);
    fields["security_counter"] = known(m.security_counter);
    fields["product"] = text_or_null(m.product);
    fields["vendor_id"] = m.has_ids ? nlohmann::ordered_json(m.vendor_id) : nullptr;
    fields["product_id"] = m.has_ids ? nlohmann::ordered_json(m.product_id) : nullptr;
    fields["signature"] = inputs_to_json({}, "", &sig)["signature"];
    nlohmann::ordered_json signatures = nlohmann::ordered_json::array();
    for (const SignatureEntry &e : sig.signatures) {
        signatures.push_back({{"member", e.member},
                              {"key_id", text_or_null(e.key_id)},
                              {"trust", e.trust},
                              {"key_file", text_or_null(e.key_file)}});
    }
    fields["signatures"] = signatures;
    fields["keys_trusted"] = trusted.size();
    fields["runs_here"] = refusal.empty();
    fields["reason"] = text_or_null(refusal);
    JsonEvents(stdout).emit("package", fields);
}

}  // namespace

int show_package_step(const Options &o) {
    PackageKeys keys;
    if (const int refused = keys_step(o, keys); refused != 0) {
        return refused;
    }
    const std::vector<TrustedKey> &trusted = keys.trusted;
    PackageInputs judged;
    Inputs inputs;
    const std::string refusal = judge_here(o, keys, judged, inputs);
    // A package that cannot be read has nothing to show but why.
    if (refusal.rfind("cannot read package", 0) == 0) {
        return kExitBadInput;
    }
    const Contents contents = contents_of(o.show_package);
    const std::vector<Member> members = members_of(contents, inputs);
    if (o.json) {
        print_json(o, contents, members, judged.signature, trusted, refusal);
    } else {
        print_text(o, contents, members, judged.signature, trusted, refusal);
    }
    return refusal.empty() ? kExitSuccess : kExitBadInput;
}

}  // namespace host
