#include "standin/scan_reply.h"

#include <algorithm>
#include <cstdint>

namespace standin {

namespace {

struct Finding {
    size_t signature;
    uint64_t first_offset;
};

// One entry per signature found, ordered by where it first occurs.
std::vector<Finding> findings_of(const std::vector<Match> &matches) {
    std::vector<Finding> findings;
    for (const Match &match : matches) {
        auto known = std::find_if(findings.begin(), findings.end(),
                                  [&](const Finding &f) { return f.signature == match.signature; });
        if (known == findings.end())
            findings.push_back({match.signature, match.offset});
        else
            known->first_offset = std::min(known->first_offset, match.offset);
    }
    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        return a.first_offset < b.first_offset;
    });
    return findings;
}

bool has_infection(const std::vector<Signature> &signatures, const std::vector<Match> &matches) {
    return std::any_of(matches.begin(), matches.end(), [&](const Match &m) {
        return signatures[m.signature].kind == ThreatKind::Infection;
    });
}

// The neutralised copy of `content`, or false when the object cannot be cured.
bool try_cure(const std::vector<Signature> &signatures, const std::vector<Match> &matches,
              const std::string &content, std::string &cured) {
    for (const Match &match : matches) {
        const Signature &signature = signatures[match.signature];
        if (signature.kind == ThreatKind::Infection && !signature.curable) return false;
    }
    if (only_threat(content, matches, signatures)) return false;
    cured = content;
    neutralise(cured, matches, signatures);
    StreamScanner rescan(signatures);
    rescan.feed(cured);
    return !has_infection(signatures, rescan.matches());
}

int line_code(ThreatKind kind, bool cured) {
    switch (kind) {
    case ThreatKind::Warning:
        return code::kWarningLine;
    case ThreatKind::Suspicion:
        return code::kSuspicionLine;
    case ThreatKind::Infection:
        break;
    }
    return cured ? code::kCuredLine : code::kInfectedLine;
}

} // namespace

ScanReply build_scan_reply(const std::vector<Signature> &signatures,
                           const std::vector<Match> &matches, std::string_view object, bool cure,
                           const std::string *content) {
    ScanReply reply;
    const std::vector<Finding> findings = findings_of(matches);
    bool infected = false, suspicious = false, warned = false;
    for (const Finding &finding : findings) {
        switch (signatures[finding.signature].kind) {
        case ThreatKind::Infection:
            infected = true;
            break;
        case ThreatKind::Suspicion:
            suspicious = true;
            break;
        case ThreatKind::Warning:
            warned = true;
            break;
        }
    }

    bool cured = false;
    if (infected && cure && content != nullptr)
        cured = try_cure(signatures, matches, *content, reply.cured_copy);
    reply.has_cured_copy = cured;
    if (!cured) reply.cured_copy.clear();

    for (const Finding &finding : findings) {
        const Signature &signature = signatures[finding.signature];
        reply.object_lines.push_back(
            {line_code(signature.kind, cured), signature.name + " " + std::string(object)});
    }

    int verdict = code::kClean;
    if (infected)
        verdict = cured ? code::kCured : cure ? code::kCureFailed : code::kInfected;
    else if (suspicious)
        verdict = code::kSuspicion;
    else if (warned)
        verdict = code::kWarning;
    reply.verdict = {verdict, std::string(object)};
    return reply;
}

ScanReply unreadable_reply(std::string_view object) {
    ScanReply reply;
    reply.verdict = {code::kError, std::string(object)};
    return reply;
}

} // namespace standin
