#include "FileProviderItemProtocol.h"

namespace pixavella {

FileProviderItemVersion::FileProviderItemVersion(QByteArrayView content, QByteArrayView metadata)
    : m_contentLength(quint32(content.size())), m_metadataHoldsContent(metadata.startsWith(content))
{
    if (m_metadataHoldsContent) {
        m_tokens = metadata.toByteArray();
    } else {
        m_tokens.reserve(content.size() + metadata.size());
        m_tokens.append(content).append(metadata);
    }
    m_tokens.squeeze();
}

QByteArray FileProviderItemVersion::contentVersion() const
{
    return m_tokens.left(m_contentLength);
}

QByteArray FileProviderItemVersion::metadataVersion() const
{
    return m_metadataHoldsContent ? m_tokens : m_tokens.mid(m_contentLength);
}

void FileProviderItemVersion::setContentVersion(QByteArrayView content)
{
    *this = FileProviderItemVersion(content, metadataVersion());
}

void FileProviderItemVersion::setMetadataVersion(QByteArrayView metadata)
{
    *this = FileProviderItemVersion(contentVersion(), metadata);
}

FileProviderItemProperties FileProviderItemProperties::of(const FileProviderItemProtocol& item)
{
    return FileProviderItemProperties{item.itemIdentifier(),
                                      item.parentItemIdentifier(),
                                      item.filename(),
                                      item.contentType(),
                                      item.documentSize(),
                                      item.creationDate(),
                                      item.contentModificationDate(),
                                      item.capabilities(),
                                      item.itemVersion(),
                                      item.nameRank()};
}

FileProviderItemRef FileProviderItemSnapshot::make(FileProviderItemProperties properties)
{
    return std::make_shared<const FileProviderItemSnapshot>(std::move(properties));
}

} // namespace pixavella
