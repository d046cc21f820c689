#include "ImmichClient.h"

#include <QNetworkReply>

namespace pixavella {

bool isTransientError(const Error& error)
{
    if (error.domain == ErrorDomain::Client) {
        if (ClientError::isNoData(error))
            return false;
        return error.code < 0 || (error.code >= 500 && error.code <= 599);
    }
    if (error.domain != ErrorDomain::Network)
        return false;
    switch (QNetworkReply::NetworkError(error.code)) {
    case QNetworkReply::TimeoutError: // timed out
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ConnectionRefusedError: // cannot connect to host
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError: // network connection lost
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::TemporaryNetworkFailureError: // not connected to the internet
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError: // unreachable network and other socket trouble
    case QNetworkReply::HostNotFoundError:   // DNS lookup failed, cannot find host
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::SslHandshakeFailedError: // secure connection failed
    case QNetworkReply::ServiceUnavailableError: // resource unavailable
        return true;
    default:
        return false;
    }
}

} // namespace pixavella
