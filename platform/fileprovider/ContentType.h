#pragma once

#include <QString>

#include <optional>

namespace pixavella {

// The abstract kinds a content type can conform to.
enum class ContentKind { data, folder, image, movie, audiovisual };

// A uniform type, held as a MIME type name. The abstract types (any image, any movie) have
// the names "image/*" and "video/*"; folders are "inode/directory".
class ContentType {
public:
    static ContentType folder();
    // Any file content.
    static ContentType data();
    static ContentType image();
    static ContentType movie();

    explicit ContentType(QString mimeName) : m_name(std::move(mimeName)) {}

    // The type the shared MIME database gives to a file name with this extension (no dot),
    // or nothing when the extension is empty or the database does not know it. Matching
    // ignores case, as file managers do.
    static std::optional<ContentType> fromFilenameExtension(const QString& extension);

    const QString& mimeName() const { return m_name; }
    bool conformsTo(ContentKind kind) const;

    bool operator==(const ContentType&) const = default;

private:
    QString m_name;
};

// The extension of the last path component of `filename`, without the dot; empty when it
// has none or when the dot is the first character (".profile").
QString filenameExtension(const QString& filename);

} // namespace pixavella
