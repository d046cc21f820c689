// What a photo moved between folders becomes on the server. A wrong plan removes a photo from
// an album it should stay in, or writes to an album that is not the user's.
#include "ReparentPlan.h"

#include <QTest>

using namespace pixavella;

using Kind = ReparentPlan::Kind;

class TestReparentPlan : public QObject {
    Q_OBJECT

private slots:
    void planOfAMove_data()
    {
        QTest::addColumn<FPNode>("item");
        QTest::addColumn<std::optional<FPNode>>("target");
        QTest::addColumn<ReparentPlan>("plan");
        const FPNode photo = FPNode::asset("A");
        const FPNode inL = FPNode::albumItem("L", "A");
        using Target = std::optional<FPNode>;
        auto row = [](const char* name, const FPNode& item, const Target& target, Kind kind,
                      const QString& source = {}, const QString& into = {}) {
            QTest::newRow(name) << item << target << ReparentPlan{kind, source, into};
        };

        row("library photo into an album", photo, FPNode::album("M"), Kind::addToAlbum, {}, "M");
        row("library photo into a month", photo, FPNode::month("2021", "06"), Kind::noop);
        row("album photo into another album", inL, FPNode::album("M"), Kind::move, "L", "M");
        row("album photo into its own album", inL, FPNode::album("L"), Kind::noop);
        row("album photo into the library", inL, FPNode::photos(), Kind::removeFromAlbum, "L");
        row("album photo into a year", inL, FPNode::year("2021"), Kind::removeFromAlbum, "L");
        row("library photo into a shared album", photo, FPNode::sharedAlbum("S"),
            Kind::addToSharedAlbum, {}, "S");
        row("album photo into a shared album", inL, FPNode::sharedAlbum("S"),
            Kind::addToSharedAlbum, {}, "S");
        row("shared album photo anywhere", FPNode::sharedItem("S", "A"), FPNode::album("M"),
            Kind::refuse);
        row("pending upload", FPNode::pending("P"), FPNode::album("M"), Kind::refuse);
        row("a folder", FPNode::album("L"), FPNode::albums(), Kind::refuse);
        row("into the albums folder", photo, FPNode::albums(), Kind::refuse);
        row("into the root", inL, FPNode::root(), Kind::refuse);
        row("into failed uploads", photo, FPNode::failed(), Kind::refuse);
        row("into another photo", photo, FPNode::asset("B"), Kind::refuse);
        row("into an unknown parent", inL, Target(), Kind::refuse);
    }
    void planOfAMove()
    {
        QFETCH(FPNode, item);
        QFETCH(std::optional<FPNode>, target);
        QFETCH(ReparentPlan, plan);
        const ReparentPlan decided = ReparentPlan::decide(item, target);
        QCOMPARE(int(decided.kind), int(plan.kind));
        QCOMPARE(decided.sourceAlbumId, plan.sourceAlbumId);
        QCOMPARE(decided.targetAlbumId, plan.targetAlbumId);
    }
};

QTEST_GUILESS_MAIN(TestReparentPlan)
#include "TestReparentPlan.moc"
