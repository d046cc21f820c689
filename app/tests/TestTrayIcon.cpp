// The tray icon from a session on a recording drive and a status model: its symbol and tooltip,
// the menu on the left button, the outcome of an update check; and the tinted symbols.
#include "DomainController.h"
#include "HttpSession.h"
#include "ProcessStores.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "SoftwareUpdater.h"
#include "Symbols.h"
#include "TrayIcon.h"
#include "UploadQuarantine.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

using namespace pixavella;

namespace {

// The colours of the pixels at least `alpha` opaque.
QSet<QRgb> inks(const QPixmap& pixmap, int alpha = 255)
{
    QSet<QRgb> found;
    const QImage image = pixmap.toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) >= alpha)
                found << (image.pixel(x, y) | 0xff000000);
        }
    }
    return found;
}

struct Tray : testing::RecordedSession {
    UploadStatusModel status{UploadQuarantine::shared(), SettingsSuite::shared(),
                             testing::appStores().journal,
                             UploadStatusModel::sessionSource(session), [](PedagogicalNotice) {}};
    SoftwareUpdater updater{HttpSession::shared()};
    TrayIcon tray{session, status, &updater, MenuActions{}};
};

} // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT

    QList<QUrl> m_opened;

public:
    Q_INVOKABLE void openUrl(const QUrl& url) { m_opened << url; }

private slots:
    void symbolOfTheStatus()
    {
        const std::tuple<UploadStatus, qint64, const char*> rows[] = {
            {UploadStatus::idle(), 0, "photos"},
            {UploadStatus::completed(3), 1, "warning-fill"},
            {UploadStatus::uploading(1, 3), 1, "arrow-up-circle"},
            {UploadStatus::downloading(), 0, "arrow-down-circle"}};
        for (const auto& [status, failed, symbol] : rows) {
            const QPixmap shown = TrayIcon::statusIcon(status, failed, Qt::blue).pixmap(18);
            QVERIFY2(shown.toImage() == symbolPixmap(symbol, Qt::blue, 18, 1.0).toImage(), symbol);
        }
    }

    void symbolsTintedAtTheirSize()
    {
        const QPixmap tinted = symbolPixmap(QStringLiteral("photos"), Qt::red, 18, 2.0);
        QCOMPARE(tinted.size(), QSize(36, 36));
        QCOMPARE(tinted.devicePixelRatio(), 2.0);
        QCOMPARE(inks(tinted), QSet<QRgb>{QColor(Qt::red).rgb()});
        const QPixmap missing = symbolPixmap(QStringLiteral("absent"), Qt::red, 18, 1.0);
        QCOMPARE(missing.size(), QSize(18, 18));
        QCOMPARE(inks(missing, 1), QSet<QRgb>());
        const QColor disabled = QApplication::palette().color(QPalette::Disabled, QPalette::Text);
        const QIcon icon = symbolIcon(QStringLiteral("photos"), Qt::red);
        QCOMPARE(inks(icon.pixmap(16, QIcon::Disabled)), QSet<QRgb>{disabled.rgb()});
        QCOMPARE(inks(icon.pixmap(24, QIcon::Active)), QSet<QRgb>{QColor(Qt::red).rgb()});

        qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
        QCOMPARE(TrayIcon::symbolColor(), QColor(0xf2, 0xf2, 0xf2));
        qputenv("XDG_CURRENT_DESKTOP", "KDE");
        QCOMPARE(TrayIcon::symbolColor(), QApplication::palette().color(QPalette::WindowText));
    }

    void tooltipAndMenu()
    {
        Tray tray;
        QCOMPARE(tray.tray.icon()->toolTip(), QStringLiteral("Pixavella — Non connecté"));
        emit tray.tray.icon()->activated(QSystemTrayIcon::Context);
        QVERIFY(!tray.tray.menu()->isVisible());
        emit tray.tray.icon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(tray.tray.menu()->isVisible());
    }

    void updateCheckOutcome()
    {
        const auto row = [this](const QString& version, const QString& error, const QString& text,
                                const QStringList& buttons) {
            Tray tray;
            const QUrl release(QStringLiteral("https://exemple.fr/pixavella-9.9"));
            QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
            m_opened.clear();
            emit tray.updater.checkFinished(!version.isEmpty(), version, release, error);
            QMessageBox* box = nullptr;
            for (QWidget* window : QApplication::topLevelWidgets())
                box = box ? box : qobject_cast<QMessageBox*>(window);
            QVERIFY(box && box->isVisible());
            QCOMPARE(box->text(), text);
            if (!error.isEmpty())
                QCOMPARE(box->informativeText(), error);
            QStringList shown;
            for (QAbstractButton* button : box->buttons())
                shown << button->text().remove(QLatin1Char('&'));
            QCOMPARE(shown, buttons);
            box->buttons().first()->click();
            QCOMPARE(m_opened, version.isEmpty() ? QList<QUrl>() : QList<QUrl>{release});
            QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
            QTRY_VERIFY(QApplication::topLevelWidgets().indexOf(box) < 0);
        };
        row("9.9", "", "Pixavella 9.9 est disponible.", {"Télécharger", "Plus tard"});
        row("", "", "Pixavella est à jour.", {"OK"});
        row("", "HTTP 500", "Impossible de rechercher les mises à jour.", {"OK"});
    }
};

QTEST_MAIN(TestTrayIcon)
#include "TestTrayIcon.moc"
