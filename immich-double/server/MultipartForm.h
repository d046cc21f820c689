#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace immichdouble {

// A multipart/form-data body (RFC 7578) split into its parts.
struct MultipartPart {
    QString name;
    std::optional<QString> fileName;
    QByteArray contentType;
    QByteArray data;
};

class MultipartForm {
public:
    // Empty when the content type carries no boundary or the body is not well formed
    // (no opening delimiter, a part without header end, no closing delimiter).
    static std::optional<MultipartForm> parse(const QByteArray& contentType,
                                              const QByteArray& body);
    static QByteArray boundary(const QByteArray& contentType);

    const QList<MultipartPart>& parts() const { return m_parts; }
    const MultipartPart* part(const QString& name) const;
    std::optional<QString> field(const QString& name) const; // a part without file name, as UTF-8

private:
    QList<MultipartPart> m_parts;
};

} // namespace immichdouble
