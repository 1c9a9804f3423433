#include "TandrelApp/Updater/Package/PackageTrust.h"

#include <climits>
#include <memory>

#include <fcntl.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <unistd.h>

namespace PackageTrust {

namespace {

template <auto free>
struct Free {
    template <typename T>
    void operator()(T* object) const {
        free(object);
    }
};

using Bio = std::unique_ptr<BIO, Free<BIO_free_all>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Free<CMS_ContentInfo_free>>;
using Store = std::unique_ptr<X509_STORE, Free<X509_STORE_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>>;
using Certificate = std::unique_ptr<X509, Free<X509_free>>;

struct FreeCertificates {
    void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using Certificates = std::unique_ptr<STACK_OF(X509), FreeCertificates>;

// What OpenSSL said about the last failure, oldest first; its queue is left empty.
std::string openSslReasons() {
    std::string text;
    const char* data = nullptr;
    int flags = 0;
    while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
        const char* reason = ERR_reason_error_string(code);
        std::string line = reason != nullptr ? reason : "error " + std::to_string(code);
        if (data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') {
            line += std::string(" (") + data + ")";
        }
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

[[noreturn]] void refuse(const std::string& reason) {
    ERR_clear_error();
    throw Refused(reason);
}

// Only our authority: no default folder or file of the system is ever added to this store.
Store authorityStore(std::string_view pem) {
    Store store(X509_STORE_new());
    Bio source(BIO_new_mem_buf(pem.data(), int(pem.size())));
    if (!store || !source) {
        refuse("メモリが足りません");
    }
    int count = 0;
    while (Certificate certificate{PEM_read_bio_X509(source.get(), nullptr, nullptr, nullptr)}) {
        if (X509_STORE_add_cert(store.get(), certificate.get()) != 1) {
            refuse("アップデートの認証局を読み込めません: " + openSslReasons());
        }
        ++count;
    }
    // The end of the text is reported as a failure to read one more certificate.
    ERR_clear_error();
    if (count == 0) {
        refuse("アップデートの認証局の証明書がありません");
    }
    // The signature's own purpose check would want e-mail protection; the code-signing use is checked on
    // the chain below instead.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    return store;
}

bool hasExtendedKeyUsage(X509* certificate) {
    return (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0;
}

// The signer: made for code signing by name (a certificate without the extension, or with "any purpose"
// only, is made for nothing in particular), and allowed to sign where it says what its key is for.
std::optional<std::string> signerProblem(X509* signer) {
    if (!hasExtendedKeyUsage(signer) || (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
        return "署名者の証明書がコード署名用ではありません";
    }
    if ((X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE) == 0) {
        return "署名者の証明書の鍵は署名に使えません";
    }
    return std::nullopt;
}

// An authority between the signer and ours: a CA whose extended key usage, where it has one, covers code
// signing.
std::optional<std::string> intermediateProblem(X509* authority) {
    if (X509_check_ca(authority) == 0) {
        return "中間の証明書が認証局ではありません";
    }
    if (hasExtendedKeyUsage(authority) &&
        (X509_get_extended_key_usage(authority) & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) {
        return "中間の認証局がコード署名用ではありません";
    }
    return std::nullopt;
}

void checkChain(X509_STORE* store, X509* signer, CMS_ContentInfo* cms) {
    StoreContext context(X509_STORE_CTX_new());
    const Certificates untrusted(CMS_get1_certs(cms));
    if (!context || X509_STORE_CTX_init(context.get(), store, signer, untrusted.get()) != 1) {
        refuse("署名者の証明書を確かめられません: " + openSslReasons());
    }
    if (X509_verify_cert(context.get()) != 1) {
        refuse(std::string("署名者の証明書を確かめられません: ") +
               X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    const int length = sk_X509_num(chain);
    if (auto problem = signerProblem(sk_X509_value(chain, 0))) {
        refuse(*problem);
    }
    // The last one is our authority itself.
    for (int i = 1; i + 1 < length; ++i) {
        if (auto problem = intermediateProblem(sk_X509_value(chain, i))) {
            refuse(*problem);
        }
    }
}

// Every attribute of the subject counts, those that share a relative name with another included.
std::optional<std::string> installerTeam(const X509_NAME* subject) {
    int units = 0;
    int commonNames = 0;
    bool installer = false;
    std::string team;
    for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        unsigned char* utf8 = nullptr;
        const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        if (length < 0) {
            return std::nullopt;
        }
        const std::string value(reinterpret_cast<const char*>(utf8), std::size_t(length));
        OPENSSL_free(utf8);
        switch (OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry))) {
        case NID_organizationalUnitName:
            ++units;
            team = value;
            break;
        case NID_commonName:
            ++commonNames;
            installer = value.rfind("Developer ID Installer: ", 0) == 0;
            break;
        default:
            break;
        }
    }
    if (units != 1 || commonNames != 1 || !installer) {
        return std::nullopt;
    }
    return team;
}

Bio newFile(const std::string& path) {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) {
        refuse(path + ": 書き込めません");
    }
    Bio bio(BIO_new_fd(file, BIO_CLOSE));
    if (!bio) {
        ::close(file);
        refuse("メモリが足りません");
    }
    return bio;
}

} // namespace

Signer verify(std::string_view package, std::string_view authorityPem, const std::string& payloadPath) {
    ERR_clear_error();
    if (package.size() > std::size_t(INT_MAX)) {
        refuse("パッケージが大きすぎます");
    }
    Bio source(BIO_new_mem_buf(package.data(), int(package.size())));
    const Cms cms(source ? d2i_CMS_bio(source.get(), nullptr) : nullptr);
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        refuse("署名されたパッケージではありません");
    }
    if (CMS_is_detached(cms.get()) == 1) {
        refuse("パッケージに中身がありません");
    }
    const Store store = authorityStore(authorityPem);
    Bio payload = newFile(payloadPath);
    if (CMS_verify(cms.get(), nullptr, store.get(), nullptr, payload.get(), CMS_BINARY) != 1) {
        refuse("署名を確かめられません: " + openSslReasons());
    }
    if (BIO_flush(payload.get()) != 1) {
        refuse(payloadPath + ": 書き込めません");
    }
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    const int count = sk_X509_num(signers);
    X509* signer = count == 1 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    if (signer == nullptr) {
        refuse("署名者がひとりではありません");
    }
    checkChain(store.get(), signer, cms.get());
    return {installerTeam(X509_get_subject_name(signer))};
}

} // namespace PackageTrust
