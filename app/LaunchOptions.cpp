#include "LaunchOptions.h"

#include <QCoreApplication>
#include <QUrl>

namespace pixavella {

namespace {

// The argument after `name`, when `name` is present and not last.
std::optional<QString> valueAfter(const QStringList& arguments, const QString& name)
{
    const qsizetype at = arguments.indexOf(name, 1);
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(at + 1);
}

} // namespace

bool LaunchOptions::isServerAddress(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

LaunchOptions LaunchOptions::parse(const QStringList& arguments)
{
    const QStringList switches = arguments.mid(1);
    LaunchOptions options;
    options.remove = switches.contains(QStringLiteral("--remove"));
    options.reset = !options.remove && switches.contains(QStringLiteral("--reset"));
    options.showLogin = switches.contains(QStringLiteral("--show-login"));
    options.showHistory = switches.contains(QStringLiteral("--show-history"));
    options.resetNotices = switches.contains(QStringLiteral("--reset-notices"));
    if (const std::optional<QString> name = valueAfter(arguments, QStringLiteral("--show-notice")))
        options.showNotice = noticeFromKey(*name);
    if (switches.contains(QStringLiteral("--sign-in")))
        options.signInEmail =
            valueAfter(arguments, QStringLiteral("--sign-in")).value_or(QString());
    options.signOut = switches.contains(QStringLiteral("--sign-out"));
    options.verbose = switches.contains(QStringLiteral("--verbose"));
    options.help = switches.contains(QStringLiteral("--help"));
    if (switches.contains(QStringLiteral("--server"))) {
        const QString server =
            valueAfter(arguments, QStringLiteral("--server")).value_or(QString()).trimmed();
        if (isServerAddress(server))
            options.server = server;
        else
            options.serverRejected = true;
    }
    return options;
}

QString LaunchOptions::helpText()
{
    return QCoreApplication::translate(
        "LaunchOptions",
        "Utilisation : pixavella [options]\n"
        "\n"
        "Met la photothèque de votre serveur Immich dans le gestionnaire de fichiers, dans le\n"
        "dossier ~/Library/CloudStorage/Pixavella-Pixavella. Pixavella ne tourne qu'une fois par\n"
        "utilisateur : lancé alors qu'il tourne déjà, il transmet ses options à l'application en\n"
        "cours et se termine.\n"
        "\n"
        "Options :\n"
        "  --server ADRESSE     enregistre l'adresse du serveur (http:// ou https://) avant tout\n"
        "  --sign-in EMAIL      se connecte avec cet email ; le mot de passe est lu dans la\n"
        "                       variable d'environnement PIXAVELLA_PASSWORD. En cas d'échec, le\n"
        "                       message de la fenêtre de connexion est affiché et le code de\n"
        "                       sortie n'est pas nul\n"
        "  --sign-out           se déconnecte comme depuis le menu : révoque la clé, retire le\n"
        "                       dossier et efface le secret\n"
        "  --show-login         ouvre la fenêtre de connexion\n"
        "  --show-history       ouvre l'historique des envois\n"
        "  --show-notice NOM    affiche une notice (library, move, trash, …)\n"
        "  --reset-notices      affiche de nouveau les notices masquées\n"
        "  --remove             retire le dossier au démarrage (il revient si une session existe)\n"
        "  --reset              retire puis rajoute le dossier\n"
        "  --verbose            affiche aussi les lignes de débogage (chaque requête HTTP, chaque\n"
        "                       listage…), celles du démon du dossier comprises ; la variable\n"
        "                       QT_LOGGING_RULES règle les lignes catégorie par catégorie\n"
        "  --help               affiche cette aide\n");
}

} // namespace pixavella
