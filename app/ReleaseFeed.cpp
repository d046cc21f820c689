#include "ReleaseFeed.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>
#include <QXmlStreamReader>

namespace pixavella {

namespace {

QString tr(const char* french)
{
    return QCoreApplication::translate("ReleaseFeed", french);
}

Error feedError(ReleaseFeed::Code code, const QString& description)
{
    return Error{ReleaseFeed::errorDomain, code, description};
}

// The parts of one <item> that matter, gathered in any order.
struct ItemFields {
    QString shortVersion;
    QString version;
    QString title;
    QString enclosureUrl;
    QString link;
};

QString versionInTitle(const QString& title)
{
    static const QRegularExpression number(QStringLiteral("\\d+(\\.\\d+)*[0-9A-Za-z-]*"));
    return number.match(title).captured(0);
}

void readItem(QXmlStreamReader& xml, ItemFields& item)
{
    while (xml.readNextStartElement()) {
        const QStringView name = xml.name();
        if (name == u"enclosure") {
            const QXmlStreamAttributes attributes = xml.attributes();
            for (const QXmlStreamAttribute& attribute : attributes) {
                if (attribute.name() == u"url")
                    item.enclosureUrl = attribute.value().toString().trimmed();
                else if (attribute.name() == u"shortVersionString")
                    item.shortVersion = attribute.value().toString().trimmed();
                else if (attribute.name() == u"version")
                    item.version = attribute.value().toString().trimmed();
            }
            xml.skipCurrentElement();
        } else if (name == u"shortVersionString") {
            item.shortVersion = xml.readElementText().trimmed();
        } else if (name == u"version") {
            item.version = xml.readElementText().trimmed();
        } else if (name == u"title") {
            item.title = xml.readElementText().trimmed();
        } else if (name == u"link") {
            item.link = xml.readElementText().trimmed();
        } else {
            xml.skipCurrentElement();
        }
    }
}

std::optional<ReleaseFeed::Release> releaseOf(const ItemFields& item, const QUrl& feedUrl)
{
    QString version = !item.shortVersion.isEmpty() ? item.shortVersion : item.version;
    if (version.isEmpty())
        version = versionInTitle(item.title);
    const QString address = !item.enclosureUrl.isEmpty() ? item.enclosureUrl : item.link;
    const QUrl url = feedUrl.resolved(QUrl(address));
    if (version.isEmpty() || address.isEmpty() || !url.isValid())
        return std::nullopt;
    return ReleaseFeed::Release{version, url};
}

// Leading number of a version part, and whether text follows it.
std::pair<qint64, bool> splitPart(const QString& part)
{
    qsizetype digits = 0;
    while (digits < part.size() && part.at(digits).isDigit())
        ++digits;
    return {part.left(digits).toLongLong(), digits < part.size()};
}

} // namespace

Result<QList<ReleaseFeed::Release>> ReleaseFeed::parse(const QByteArray& text, const QUrl& feedUrl)
{
    QXmlStreamReader xml(text);
    QList<Release> releases;
    if (!xml.readNextStartElement() || xml.name() != u"rss") {
        if (xml.hasError())
            return feedError(malformed,
                             tr("Le flux des mises à jour est illisible (ligne %1 : %2).")
                                 .arg(xml.lineNumber())
                                 .arg(xml.errorString()));
        return feedError(malformed, tr("Le flux des mises à jour n'est pas un flux RSS."));
    }
    bool sawChannel = false;
    while (xml.readNextStartElement()) {
        if (xml.name() != u"channel") {
            xml.skipCurrentElement();
            continue;
        }
        sawChannel = true;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"item") {
                xml.skipCurrentElement();
                continue;
            }
            ItemFields item;
            readItem(xml, item);
            if (std::optional<Release> release = releaseOf(item, feedUrl))
                releases.append(std::move(*release));
        }
    }
    // Reading to the end catches a document broken after the last item.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return feedError(malformed, tr("Le flux des mises à jour est illisible (ligne %1 : %2).")
                                        .arg(xml.lineNumber())
                                        .arg(xml.errorString()));
    if (!sawChannel)
        return feedError(malformed, tr("Le flux des mises à jour n'a pas de canal."));
    if (releases.isEmpty())
        return feedError(noRelease, tr("Le flux des mises à jour n'annonce aucune version."));
    return releases;
}

ReleaseFeed::Release ReleaseFeed::newest(const QList<Release>& releases)
{
    Release best = releases.value(0);
    for (const Release& release : releases) {
        if (compareVersions(release.version, best.version) > 0)
            best = release;
    }
    return best;
}

int ReleaseFeed::compareVersions(const QString& a, const QString& b)
{
    static const QRegularExpression separators(QStringLiteral("[.]"));
    QString left = a.trimmed();
    QString right = b.trimmed();
    for (QString* v : {&left, &right}) {
        if (v->startsWith(u'v') || v->startsWith(u'V'))
            v->remove(0, 1);
    }
    const QStringList x = left.split(separators);
    const QStringList y = right.split(separators);
    for (qsizetype i = 0; i < std::max(x.size(), y.size()); ++i) {
        const auto [xn, xText] = splitPart(x.value(i, QStringLiteral("0")));
        const auto [yn, yText] = splitPart(y.value(i, QStringLiteral("0")));
        if (xn != yn)
            return xn < yn ? -1 : 1;
        if (xText != yText)
            return xText ? -1 : 1;
        if (xText) {
            const int text = QString::compare(x.at(i), y.at(i));
            if (text != 0)
                return text < 0 ? -1 : 1;
        }
    }
    return 0;
}

} // namespace pixavella
