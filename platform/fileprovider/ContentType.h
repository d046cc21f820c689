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

    explicit ContentType(const QString& mimeName);

    // The type the shared MIME database gives to a file name with this extension (no dot),
    // or nothing when the extension is empty or the database does not know it. Matching
    // ignores case, as file managers do.
    static std::optional<ContentType> fromFilenameExtension(const QString& extension);

    const QString& mimeName() const { return *m_name; }
    bool conformsTo(ContentKind kind) const;

    // Names are held once per process, so equal names are the same one.
    bool operator==(const ContentType& other) const { return m_name == other.m_name; }

private:
    // Every item the host keeps has a type, and a library has a handful of types: each name is
    // kept once for the whole process and never freed (the database's types are a bounded set).
    const QString* m_name;
};

// The extension of the last path component of `filename`, without the dot; empty when it
// has none or when the dot is the first character (".profile").
QString filenameExtension(const QString& filename);

} // namespace pixavella
