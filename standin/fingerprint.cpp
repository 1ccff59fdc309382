#include "standin/fingerprint.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "digest/md5_text.h"

namespace standin {

void Fingerprint::add(std::string_view bytes) {
    // md5_update takes 32-bit lengths; larger runs go in several calls.
    constexpr size_t kMaxRun = std::numeric_limits<uint32_t>::max();
    while (!bytes.empty()) {
        size_t run = std::min(bytes.size(), kMaxRun);
        md5_update(&context_, bytes.data(), static_cast<uint32_t>(run));
        bytes.remove_prefix(run);
    }
}

std::string Fingerprint::finish() {
    md5_final(&context_);
    char text[MD5_HEX_LENGTH + 1];
    md5_digest_text(context_.digest, text);
    return std::string(text, MD5_HEX_LENGTH);
}

std::string md5_text(std::string_view bytes) {
    Fingerprint fingerprint;
    fingerprint.add(bytes);
    return fingerprint.finish();
}

bool same_digest(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

} // namespace standin
