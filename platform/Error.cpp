#include "Error.h"

#include <cstring>

namespace pixavella {

Error fileError(int errnoValue, const QString& context)
{
    QString text = QString::fromLocal8Bit(std::strerror(errnoValue));
    if (!context.isEmpty())
        text = context + QStringLiteral(": ") + text;
    return Error{ErrorDomain::File, errnoValue, text};
}

} // namespace pixavella
