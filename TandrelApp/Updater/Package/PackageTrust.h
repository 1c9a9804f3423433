// Whether an update package comes from us. A package is signed data (CMS, DER) that carries its payload;
// it is trusted only when its one signer chains to the update authority we ship (never to a certificate
// of the system's store), the signer's certificate is made for code signing and every authority between
// it and ours may issue for code signing. The signer's team is read from every attribute of its subject.
// The application checks a package before asking for the password and the helper again as root.
// Qt-free; any thread.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace PackageTrust {

// The package is not trusted; the text says why.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Signer {
    // The signer's team: the one organisational unit of a subject whose one common name begins with
    // "Developer ID Installer: "; none for any other subject.
    std::optional<std::string> team;
};

// Verifies `package` against the certificates in `authorityPem` alone and writes the signed payload to
// the new file `payloadPath`. Throws Refused.
Signer verify(std::string_view package, std::string_view authorityPem, const std::string& payloadPath);

} // namespace PackageTrust
