#include "NoticeCenter.h"
#include "NoticeWindow.h"

#include <QCheckBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>

using namespace pixavella;
using N = PedagogicalNotice;

class TestNoticeCenter : public QObject {
    Q_OBJECT

    struct Opened {
        N notice;
        std::function<void(bool)> closed;
    };
    QList<Opened> m_opened;

    std::unique_ptr<NoticeCenter> makeCenter()
    {
        return std::make_unique<NoticeCenter>([this](N notice, std::function<void(bool)> closed) {
            m_opened.append({notice, std::move(closed)});
        });
    }

    QList<N> opened() const
    {
        QList<N> notices;
        for (const Opened& o : m_opened)
            notices << o.notice;
        return notices;
    }

private slots:
    void init()
    {
        m_opened.clear();
        QSettings(QStringLiteral("Pixavella"), QStringLiteral("pixavella")).clear();
    }

    void showsOneAtATimeWithoutDuplicates()
    {
        auto center = makeCenter();
        for (const N notice : {N::trash, N::trash, N::shared, N::trash, N::shared})
            center->enqueue(notice);
        QCOMPARE(opened(), QList{N::trash});
        QCOMPARE(center->queue(), QList{N::shared});

        m_opened.first().closed(false);
        m_opened.first().closed(false); // a second close report changes nothing
        QCOMPARE(opened(), (QList{N::trash, N::shared}));
        QCOMPARE(center->showing(), N::shared);
        QVERIFY(!NoticeCenter::isSuppressed(N::trash));
    }

    void confirmingLibrarySuppressesMove()
    {
        for (const bool switchOn : {false, true}) {
            init();
            auto center = makeCenter();
            center->enqueue(N::library);
            center->enqueue(N::move);
            m_opened.first().closed(switchOn);
            QCOMPARE(NoticeCenter::isSuppressed(N::library), switchOn);
            QVERIFY(NoticeCenter::isSuppressed(N::move));
            // The queued move notice is skipped when its turn comes.
            QCOMPARE(opened(), QList{N::library});
            QCOMPARE(center->showing(), std::nullopt);
            center->enqueue(N::library);
            QCOMPARE(opened().size(), switchOn ? 1 : 2);
        }
    }

    void suppressedWhileQueuedIsSkipped()
    {
        auto center = makeCenter();
        for (const N notice : {N::trash, N::duplicate, N::samename})
            center->enqueue(notice);
        NoticeCenter::suppress(N::duplicate);
        m_opened.first().closed(true);
        QCOMPARE(opened(), (QList{N::trash, N::samename}));
        QVERIFY(NoticeCenter::isSuppressed(N::trash));
    }

    void didShowMoveNoticeSuppressesMoveOnly()
    {
        QSettings(QStringLiteral("Pixavella"), QStringLiteral("pixavella"))
            .setValue(QStringLiteral("didShowMoveNotice"), true);
        auto center = makeCenter();
        center->enqueue(N::move);
        center->enqueue(N::newfolder);
        QCOMPARE(opened(), QList{N::newfolder});

        NoticeCenter::resetSuppressed();
        NoticeCenter::suppress(N::newfolder);
        NoticeCenter::resetSuppressed();
        QVERIFY(!NoticeCenter::isSuppressed(N::move));
        QVERIFY(!NoticeCenter::isSuppressed(N::newfolder));
    }

    void panelReportsItsSwitchOnce()
    {
        QList<bool> reports;
        auto* panel =
            new NoticeWindowController(N::library, [&reports](bool s) { reports.append(s); });
        QPointer<NoticeWindowController> guard(panel);
        panel->show();
        panel->view()->suppressSwitch()->setChecked(true);
        QTest::mouseClick(panel->view()->confirmButton(), Qt::LeftButton);
        QCOMPARE(reports, QList{true});
        QTRY_VERIFY(guard.isNull());
    }
};

QTEST_MAIN(TestNoticeCenter)
#include "TestNoticeCenter.moc"
