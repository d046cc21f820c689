#include "PedagogicalNotice.h"
#include "PedagogicalNoticeQueue.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

using namespace pixavella;

Q_DECLARE_METATYPE(PedagogicalNotice)

class TestPedagogicalNotice : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    const QString m_key = QString::fromLatin1(PedagogicalNoticeQueue::kSettingsKey);

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(m_key);
    }
    void cleanup() { m_suite.reset(); }

    void keysRoundTripInTableOrder()
    {
        const QStringList keys{
            "library",   "newfolder", "shared",     "trash",       "remove",
            "delalbum",  "move",      "nonmedia",   "renamephoto", "materialize",
            "duplicate", "samename",  "albumready", "addtoalbum",  "shareRemoveOwnOnly"};
        QCOMPARE(qsizetype(kAllPedagogicalNotices.size()), keys.size());
        for (std::size_t i = 0; i < kAllPedagogicalNotices.size(); ++i) {
            const PedagogicalNotice notice = kAllPedagogicalNotices[i];
            QCOMPARE(int(notice), int(i));
            QCOMPARE(noticeKey(notice), keys[qsizetype(i)]);
            QCOMPARE(noticeFromKey(keys[qsizetype(i)]), std::optional(notice));
        }
        QCOMPARE(noticeFromKey(QStringLiteral("Trash")), std::optional<PedagogicalNotice>());
    }

    void titlesAndTexts_data()
    {
        QTest::addColumn<PedagogicalNotice>("notice");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("library")
            << PedagogicalNotice::library << QStringLiteral("Vos photos sont en cours d'envoi")
            << QStringLiteral(
                   "Vos photos sont triées automatiquement par date (année/mois) dans « Mes "
                   "photos ». L'envoi se fait en arrière-plan : vous pouvez continuer à "
                   "travailler, et suivre la progression depuis l'icône Pixavella dans la barre "
                   "des menus.\n\nGlisser une photo la déplace : le dossier d'origine se vide, "
                   "comme avec iCloud Drive. Pour en garder une copie dans votre dossier "
                   "d'origine, maintenez la touche ⌥ Option pendant le glisser.");
        QTest::newRow("trash names the web domain")
            << PedagogicalNotice::trash << QStringLiteral("Mise à la corbeille")
            << QStringLiteral("Les photos supprimées sont placées dans la corbeille Pixavella. "
                              "Elles restent récupérables pendant 30 jours depuis "
                              "photos.example.org, puis sont supprimées définitivement.");
        QTest::newRow("samename")
            << PedagogicalNotice::samename << QStringLiteral("Nom de fichier identique")
            << QStringLiteral("Quand deux photos différentes portent le même nom de fichier, le "
                              "Finder ajoute un numéro pour les distinguer (« nom 2 »). Les deux "
                              "photos sont bien conservées.");
        QTest::newRow("shareRemoveOwnOnly")
            << PedagogicalNotice::shareRemoveOwnOnly << QStringLiteral("Retrait impossible")
            << QStringLiteral("Vous ne pouvez retirer que les photos que vous avez ajoutées à "
                              "cet album partagé.");
        QTest::newRow("materialize")
            << PedagogicalNotice::materialize << QStringLiteral("Téléchargement depuis le serveur")
            << QStringLiteral("Vos photos sont stockées en ligne. Pixavella les télécharge à la "
                              "première ouverture (connexion requise).");
    }
    void titlesAndTexts()
    {
        QFETCH(PedagogicalNotice, notice);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QCOMPARE(noticeTitle(notice), title);
        QCOMPARE(noticeText(notice, QStringLiteral("photos.example.org")), text);
    }

    void trashTextTakesTheStoredServerHost()
    {
        SharedSettings::setServerURL(QStringLiteral("https://photos.example.org:8443/"));
        QVERIFY(noticeText(PedagogicalNotice::trash).contains(" depuis photos.example.org:8443, "));
        SharedSettings::setServerURL(QStringLiteral("https://immich.example.net"));
        QVERIFY(noticeText(PedagogicalNotice::trash).contains(" depuis immich.example.net, "));
    }

    void everyNoticeHasTitleAndText()
    {
        for (PedagogicalNotice notice : kAllPedagogicalNotices) {
            QVERIFY(!noticeTitle(notice).isEmpty());
            QVERIFY(!noticeText(notice, QStringLiteral("d")).contains(QLatin1String("%1")));
        }
    }

    void drainKeepsKnownNoticesInOrder_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QList<PedagogicalNotice>>("expected");
        QTest::newRow("absent") << QVariant() << QList<PedagogicalNotice>{};
        QTest::newRow("empty") << QVariant(QVariantList{}) << QList<PedagogicalNotice>{};
        QTest::newRow("duplicates kept")
            << QVariant(QVariantList{"trash", "trash", "trash"})
            << QList{PedagogicalNotice::trash, PedagogicalNotice::trash, PedagogicalNotice::trash};
        QTest::newRow("unknown names dropped")
            << QVariant(QVariantList{"remove", "vacation", "", "Trash", "duplicate"})
            << QList{PedagogicalNotice::remove, PedagogicalNotice::duplicate};
        QTest::newRow("foreign shape")
            << QVariant(QVariantList{"trash", 3.0}) << QList<PedagogicalNotice>{};
    }
    void drainKeepsKnownNoticesInOrder()
    {
        QFETCH(QVariant, stored);
        QFETCH(QList<PedagogicalNotice>, expected);
        if (stored.isValid())
            m_suite->setValue(m_key, stored);
        PedagogicalNoticeQueue queue(*m_suite);
        QCOMPARE(queue.drain(), expected);
        QVERIFY(!m_suite->contains(m_key));
        QVERIFY(queue.drain().isEmpty());
    }

    void postAppendsEveryTimeAndSignals()
    {
        std::atomic<int> seen = 0;
        const auto subscription =
            Signals::observe(QString::fromLatin1(SignalName::noticePosted), [&seen] { ++seen; });
        PedagogicalNoticeQueue queue(*m_suite);
        queue.post(PedagogicalNotice::albumready);
        queue.post(PedagogicalNotice::nonmedia);
        queue.post(PedagogicalNotice::albumready);
        QCOMPARE(m_suite->value(m_key).toList(),
                 (QVariantList{"albumready", "nonmedia", "albumready"}));
        QTRY_VERIFY(seen > 0);
        QCOMPARE(queue.drain(), (QList{PedagogicalNotice::albumready, PedagogicalNotice::nonmedia,
                                       PedagogicalNotice::albumready}));
    }
};

QTEST_GUILESS_MAIN(TestPedagogicalNotice)
#include "TestPedagogicalNotice.moc"
