#include "ImmichRecords.h"

#include <QCoreApplication>

namespace pixavella {

namespace ClientError {

Error http(int status)
{
    return Error{
        ErrorDomain::Client, status,
        QCoreApplication::translate("ClientError", "Réponse HTTP %1 d'Immich").arg(status)};
}

Error noData()
{
    return Error{ErrorDomain::Client, kNoData,
                 QCoreApplication::translate("ClientError", "Réponse vide d'Immich")};
}

bool isHttp(const Error& e, int status)
{
    return e.domain == ErrorDomain::Client && e.code == status && status != kNoData;
}

bool isNoData(const Error& e)
{
    return e.domain == ErrorDomain::Client && e.code == kNoData;
}

} // namespace ClientError

Error decodingError(const QString& reason)
{
    return Error{
        ErrorDomain::Decoding, 0,
        QCoreApplication::translate("ClientError", "Réponse illisible d'Immich (%1)").arg(reason)};
}

} // namespace pixavella
