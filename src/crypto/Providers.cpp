#include "crypto/Providers.h"

#include <openssl/err.h>
#include <openssl/provider.h>

namespace crypto {

bool loadLegacyProviders() {
    struct Providers {
        OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
        ~Providers() {
            if (legacy) OSSL_PROVIDER_unload(legacy);
            if (fallback) OSSL_PROVIDER_unload(fallback);
        }
    };
    static Providers providers;
    ERR_clear_error();
    return providers.legacy && providers.fallback;
}

}  // namespace crypto
