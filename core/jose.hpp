// Owning handles for the cjose objects used to seal a credential.
#pragma once

// cjose's headers declare functions of OpenSSL's deprecated RSA API; the warnings are
// theirs, so they are silenced for these includes only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cjose/cjose.h>
#pragma GCC diagnostic pop

#include <memory>

namespace tarvo::jose {

struct KeyRelease {
    void operator()(cjose_jwk_t* key) const { cjose_jwk_release(key); }
};
struct HeaderRelease {
    void operator()(cjose_header_t* header) const { cjose_header_release(header); }
};
struct JweRelease {
    void operator()(cjose_jwe_t* jwe) const { cjose_jwe_release(jwe); }
};
struct TextRelease {
    void operator()(char* text) const { cjose_get_dealloc()(text); }
};

using Key = std::unique_ptr<cjose_jwk_t, KeyRelease>;
using Header = std::unique_ptr<cjose_header_t, HeaderRelease>;
using Jwe = std::unique_ptr<cjose_jwe_t, JweRelease>;
using Text = std::unique_ptr<char, TextRelease>;

}  // namespace tarvo::jose
