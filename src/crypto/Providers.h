#pragma once
// OpenSSL's providers. Legacy PKCS#12 bundles (RC2, 3DES) need the legacy
// provider; once one provider is loaded by hand, the default one must be
// loaded by hand too.

namespace crypto {

// Loads the legacy and the default provider, once for the program; they stay
// loaded until it ends and are unloaded before OpenSSL's own clean-up at
// exit. True when both are loaded. Leaves OpenSSL's error queue empty.
bool loadLegacyProviders();

}  // namespace crypto
