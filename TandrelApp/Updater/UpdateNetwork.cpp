#include "TandrelApp/Updater/UpdateNetwork.h"

#include <QNetworkReply>

namespace UpdateNetwork {

std::string transferFailure(const QNetworkReply& reply) {
    switch (reply.error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return "要求がタイムアウトしました";
    case QNetworkReply::ConnectionRefusedError:
        return "サーバーに接続できませんでした";
    case QNetworkReply::HostNotFoundError:
        return "指定されたホスト名のサーバーが見つかりませんでした";
    case QNetworkReply::RemoteHostClosedError:
        return "ネットワーク接続が切れました";
    case QNetworkReply::SslHandshakeFailedError:
        return "サーバーとの安全な接続を確立できませんでした";
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return "インターネット接続がオフラインのようです";
    default:
        return reply.errorString().toStdString();
    }
}

std::string badServerResponse() {
    return "サーバーから不正な応答がありました";
}

std::string unsupportedURL() {
    return "サポートされていない URL です";
}

} // namespace UpdateNetwork
