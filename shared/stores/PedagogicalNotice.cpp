#include "PedagogicalNotice.h"

#include "SharedSettings.h"

#include <QCoreApplication>
#include <QUrl>

namespace pixavella {

namespace {

struct NoticeTexts {
    const char* key;
    const char* title;
    const char* text;
};

// Indexed by the enumeration; the French text is the localisation key.
constexpr NoticeTexts kTexts[] = {
    {"library", QT_TRANSLATE_NOOP("PedagogicalNotice", "Vos photos sont en cours d'envoi"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Vos photos sont triées automatiquement par date (année/mois) dans « Mes photos ». "
         "L'envoi se fait en arrière-plan : vous pouvez continuer à travailler, et suivre la "
         "progression depuis l'icône Pixavella dans la zone de notification.\n\nGlisser une "
         "photo peut la déplacer : le dossier d'origine se vide alors. Pour en garder une copie "
         "dans votre dossier d'origine, maintenez la touche Ctrl pendant le glisser.")},
    {"newfolder", QT_TRANSLATE_NOOP("PedagogicalNotice", "Créer un album"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Pour créer un album, faites-le dans « Mes albums ». Si vous créez un dossier ailleurs "
         "(dans « Mes photos » ou à la racine), il devient automatiquement un album rangé dans « "
         "Mes albums ».\n\nDans « Mes photos », le classement par date est automatique : vos "
         "photos se rangent toutes seules.")},
    {"shared", QT_TRANSLATE_NOOP("PedagogicalNotice", "Album partagé"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Les photos ajoutées à un album partagé sont visibles par les autres "
                       "participants. Les en retirer ne les supprime pas de « Mes photos ».")},
    {"trash", QT_TRANSLATE_NOOP("PedagogicalNotice", "Mise à la corbeille"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Les photos supprimées sont placées dans la corbeille Pixavella. Elles restent "
         "récupérables pendant 30 jours depuis %1, puis sont supprimées définitivement.")},
    {"remove", QT_TRANSLATE_NOOP("PedagogicalNotice", "Retrait d'un album"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Retirer une photo d'un album ne la supprime pas : elle reste disponible "
                       "dans « Mes photos ». Pour la supprimer, placez-la dans la corbeille "
                       "Pixavella depuis « Mes photos ».")},
    {"delalbum", QT_TRANSLATE_NOOP("PedagogicalNotice", "Suppression d'un album"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Supprimer un album ne supprime pas les photos : elles restent dans « Mes photos ». Pour "
         "les supprimer aussi, placez-les dans la corbeille Pixavella depuis « Mes photos ».")},
    {"move", QT_TRANSLATE_NOOP("PedagogicalNotice", "Glisser peut déplacer vos fichiers"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Glisser un fichier vers Pixavella peut le déplacer : le dossier d'origine "
                       "se vide alors. Pour en garder une copie dans votre dossier d'origine, "
                       "maintenez la touche Ctrl pendant le glisser.")},
    {"nonmedia", QT_TRANSLATE_NOOP("PedagogicalNotice", "Photos et vidéos uniquement"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Pixavella conserve uniquement des photos et des vidéos. Les autres types "
                       "de fichiers ne peuvent pas être ajoutés.")},
    {"renamephoto", QT_TRANSLATE_NOOP("PedagogicalNotice", "Photo renommée"),
     QT_TRANSLATE_NOOP("PedagogicalNotice", "Renommer une photo enregistre le nouveau nom dans "
                                            "Pixavella et le synchronise sur vos appareils.")},
    {"materialize", QT_TRANSLATE_NOOP("PedagogicalNotice", "Téléchargement depuis le serveur"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Vos photos sont stockées en ligne. Pixavella les télécharge à la première "
                       "ouverture (connexion requise).")},
    {"duplicate", QT_TRANSLATE_NOOP("PedagogicalNotice", "Photo déjà présente"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Une photo déjà présente dans Pixavella n'est conservée qu'une seule fois, "
                       "même si vous l'ajoutez plusieurs fois.")},
    {"samename", QT_TRANSLATE_NOOP("PedagogicalNotice", "Nom de fichier identique"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Quand deux photos différentes portent le même nom de fichier, Pixavella ajoute un "
         "numéro pour les distinguer (« nom 2 »). Les deux photos sont bien conservées.")},
    {"albumready", QT_TRANSLATE_NOOP("PedagogicalNotice", "Album créé"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "Votre album est prêt. Glissez-y des photos depuis « Mes photos » : elles "
                       "resteront aussi dans « Mes photos ».")},
    {"addtoalbum", QT_TRANSLATE_NOOP("PedagogicalNotice", "Ajoutée à un album"),
     QT_TRANSLATE_NOOP("PedagogicalNotice",
                       "La photo est ajoutée à cet album et reste disponible dans « Mes photos ». "
                       "Une même photo peut figurer dans plusieurs albums.")},
    {"shareRemoveOwnOnly", QT_TRANSLATE_NOOP("PedagogicalNotice", "Retrait impossible"),
     QT_TRANSLATE_NOOP(
         "PedagogicalNotice",
         "Vous ne pouvez retirer que les photos que vous avez ajoutées à cet album partagé.")},
};
static_assert(std::size(kTexts) == kAllPedagogicalNotices.size());

const NoticeTexts& texts(PedagogicalNotice notice)
{
    return kTexts[static_cast<std::size_t>(notice)];
}

QString localised(const char* french)
{
    return QCoreApplication::translate("PedagogicalNotice", french);
}

} // namespace

QString noticeKey(PedagogicalNotice notice)
{
    return QString::fromLatin1(texts(notice).key);
}

std::optional<PedagogicalNotice> noticeFromKey(const QString& key)
{
    for (PedagogicalNotice notice : kAllPedagogicalNotices) {
        if (key == QLatin1String(texts(notice).key))
            return notice;
    }
    return std::nullopt;
}

QString noticeTitle(PedagogicalNotice notice)
{
    return localised(texts(notice).title);
}

QString noticeText(PedagogicalNotice notice)
{
    return noticeText(notice, notice == PedagogicalNotice::trash ? serviceWebDomain() : QString());
}

QString noticeText(PedagogicalNotice notice, const QString& webDomain)
{
    const QString text = localised(texts(notice).text);
    return notice == PedagogicalNotice::trash ? text.arg(webDomain) : text;
}

QString serviceWebDomain()
{
    const QString address = SharedSettings::serverURL();
    const QUrl url(address);
    if (url.host().isEmpty())
        return address;
    return url.port() == -1 ? url.host()
                            : url.host() + QLatin1Char(':') + QString::number(url.port());
}

} // namespace pixavella
