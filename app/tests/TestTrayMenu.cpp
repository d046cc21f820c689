#include "TrayMenu.h"

#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QWidgetAction>

using namespace pixavella;

namespace {

// "—" for dividers, "[x] title" for disabled rows, "title" otherwise.
QStringList describe(const QList<MenuRow>& rows)
{
    QStringList lines;
    for (const MenuRow& row : rows) {
        if (row.kind == MenuRow::Kind::divider)
            lines << QStringLiteral("—");
        else if (row.kind == MenuRow::Kind::action)
            lines << (row.disabled ? QStringLiteral("[x] ") : QString()) + row.title;
        else
            lines << QStringLiteral("· ") + row.title;
    }
    return lines;
}

MenuState signedInUploading()
{
    MenuState state;
    state.signedIn = true;
    state.email = QStringLiteral("marie@exemple.fr");
    state.statusLine = QStringLiteral("⬆ Envoi de 3 photos… (1/3) · ⚠ 1 en échec");
    state.failedCount = 1;
    state.busy = true;
    state.canCheckForUpdates = true;
    state.version = QStringLiteral("1.2.0");
    return state;
}

} // namespace

class TestTrayMenu : public QObject {
    Q_OBJECT

private slots:
    void signedInWhileUploadingWithAFailure()
    {
        const QStringList expected = {
            "· Connecté en tant que marie@exemple.fr",
            "· ⬆ Envoi de 3 photos… (1/3) · ⚠ 1 en échec",
            "—",
            "Réessayer 1 envois en échec",
            "Voir les envois échoués",
            "—",
            "[x] Rafraîchir",
            "Ouvrir le dossier Pixavella",
            "Historique des envois",
            "—",
            "Votre espace photos",
            "Notre site internet",
            "—",
            "Rechercher les mises à jour…",
            "Se déconnecter",
            "Quitter Pixavella",
            "· Version 1.2.0",
        };
        QCOMPARE(describe(TrayMenu::rows(signedInUploading(), {})), expected);
    }

    void refreshRowFollowsRebuildAndBusy_data()
    {
        QTest::addColumn<bool>("rebuilding");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("refresh");
        QTest::addColumn<bool>("progressLine");
        QTest::newRow("idle") << false << false << "Rafraîchir" << false;
        QTest::newRow("rebuilding") << true << false << "[x] Rafraîchissement…" << true;
        QTest::newRow("busy") << false << true << "[x] Rafraîchir" << false;
    }

    void refreshRowFollowsRebuildAndBusy()
    {
        QFETCH(bool, rebuilding);
        QFETCH(bool, busy);
        QFETCH(QString, refresh);
        QFETCH(bool, progressLine);
        MenuState state = signedInUploading();
        state.failedCount = 0;
        state.isRebuilding = rebuilding;
        state.busy = busy;
        state.canCheckForUpdates = false;
        const QStringList lines = describe(TrayMenu::rows(state, {}));
        QVERIFY(lines.contains(refresh));
        QCOMPARE(lines.contains("· Rafraîchissement en cours…"), progressLine);
        QVERIFY(!lines.contains("Voir les envois échoués"));
        QVERIFY(lines.contains("[x] Rechercher les mises à jour…"));
    }

    void signedOut()
    {
        MenuState state;
        state.version = QStringLiteral("1.2.0");
        const QStringList expected = {
            "· Non connecté",    "Se connecter…",   "—", "[x] Rechercher les mises à jour…",
            "Quitter Pixavella", "· Version 1.2.0",
        };
        QCOMPARE(describe(TrayMenu::rows(state, {})), expected);
    }

    void filledMenuRunsTheRowsActions()
    {
        int retried = 0;
        MenuActions actions;
        actions.retryFailed = [&retried] { ++retried; };
        QMenu menu;
        TrayMenu::fill(menu, TrayMenu::rows(signedInUploading(), actions));
        const QList<QAction*> items = menu.actions();
        QCOMPARE(items.size(), 17);
        QVERIFY(items[2]->isSeparator());
        auto* header = qobject_cast<QWidgetAction*>(items[0]);
        QVERIFY(header);
        QCOMPARE(qobject_cast<QLabel*>(header->defaultWidget())->text(),
                 QStringLiteral("Connecté en tant que marie@exemple.fr"));
        QCOMPARE(items[3]->text(), QStringLiteral("Réessayer 1 envois en échec"));
        QVERIFY(!items[3]->icon().isNull());
        QVERIFY(!items[6]->isEnabled());
        items[3]->trigger();
        QCOMPARE(retried, 1);
    }
};

QTEST_MAIN(TestTrayMenu)
#include "TestTrayMenu.moc"
