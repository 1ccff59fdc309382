// MD5 digests in the form the protocol carries them (32 uppercase hexadecimal
// characters), over bytes in memory, in one go or piece by piece. Built on the
// project's MD5 in digest/.
#pragma once

#include <string>
#include <string_view>

#include "digest/md5.h"

namespace standin {

class Fingerprint {
  public:
    Fingerprint() { md5_init(&context_); }
    void add(std::string_view bytes);
    // The digest text of every byte added; the fingerprint is spent afterwards.
    std::string finish();

  private:
    Md5Context context_;
};

std::string md5_text(std::string_view bytes);

// Compares digest texts without regard to the case of the letters.
bool same_digest(std::string_view a, std::string_view b);

} // namespace standin
