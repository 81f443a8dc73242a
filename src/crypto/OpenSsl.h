#pragma once
// Owning pointers for the OpenSSL objects the libraries hold, declared once.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/owned.h"

namespace crypto {

namespace detail {
inline void freeCertificateStack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
}  // namespace detail

using X509Ptr = platform::Owned<X509, X509_free>;
using X509StackPtr = platform::Owned<STACK_OF(X509), detail::freeCertificateStack>;
using X509NamePtr = platform::Owned<X509_NAME, X509_NAME_free>;
using X509StorePtr = platform::Owned<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = platform::Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using X509AttributePtr = platform::Owned<X509_ATTRIBUTE, X509_ATTRIBUTE_free>;
using PKeyPtr = platform::Owned<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtxPtr = platform::Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdPtr = platform::Owned<EVP_MD, EVP_MD_free>;
using MdCtxPtr = platform::Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using BioPtr = platform::Owned<BIO, BIO_free_all>;
using CmsPtr = platform::Owned<CMS_ContentInfo, CMS_ContentInfo_free>;
using Asn1ObjectPtr = platform::Owned<ASN1_OBJECT, ASN1_OBJECT_free>;
using Asn1IntegerPtr = platform::Owned<ASN1_INTEGER, ASN1_INTEGER_free>;
using BignumPtr = platform::Owned<BIGNUM, BN_clear_free>;
using Pkcs12Ptr = platform::Owned<PKCS12, PKCS12_free>;
using Pkcs8Ptr = platform::Owned<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using ExtendedKeyUsagePtr = platform::Owned<EXTENDED_KEY_USAGE, EXTENDED_KEY_USAGE_free>;
using ParamBuildPtr = platform::Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamsPtr = platform::Owned<OSSL_PARAM, OSSL_PARAM_free>;

}  // namespace crypto
