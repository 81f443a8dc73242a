#include "profile/CmsContent.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <memory>

namespace profile {

namespace {
struct CmsFree {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
}  // namespace

std::optional<std::string> cmsEncapsulatedContent(std::string_view message, std::string* error) {
    auto failWith = [error](const char* reason) -> std::optional<std::string> {
        if (error) *error = reason;
        ERR_clear_error();
        return std::nullopt;
    };
    if (message.empty() || message.size() > static_cast<size_t>(LONG_MAX)) return failWith("not a CMS message");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(message.data());
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size())));
    if (!cms) return failWith("not a CMS message");
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) return failWith("not a CMS SignedData message");
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    if (!content || !*content) return failWith("the message has no embedded content");
    const unsigned char* bytes = ASN1_STRING_get0_data(*content);
    int length = ASN1_STRING_length(*content);
    ERR_clear_error();
    if (length <= 0 || !bytes) return std::string();
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

}  // namespace profile
