// The updater's requests over Qt Network: the user-facing description of a failed transfer, shared by
// the release check and the download. GUI thread only.
#pragma once

#include <string>

class QNetworkReply;

namespace UpdateNetwork {

// What went wrong with `reply`'s transfer (time-out, no connection, unknown host, ...), in Japanese where
// the failure is a common one, else Qt's own wording.
std::string transferFailure(const QNetworkReply& reply);
// The response is not an HTTP one or its status is not the one expected.
std::string badServerResponse();
// The release's package address uses a scheme the updater does not fetch.
std::string unsupportedURL();

} // namespace UpdateNetwork
