#include "app/HeartIcon.h"

#include <QImage>
#include <QTest>

namespace {

struct Tones {
    int dark = 0;
    int light = 0;
};

// Opaque pixels that would vanish on a dark tray (dark) or on a light one
// (light).
Tones tonesOf(const QImage& image) {
    Tones tones;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            if (colour.alpha() < 200) continue;
            if (colour.lightness() < 80) {
                ++tones.dark;
            } else if (colour.lightness() > 200) {
                ++tones.light;
            }
        }
    }
    return tones;
}

}  // namespace

class HeartIconTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bothHeartsAreDrawnDistinctAndReadOnAnyTray_data() {
        QTest::addColumn<int>("size");
        for (const int size : {16, 22, 24, 32, 48, 64, 128}) QTest::addRow("%d px", size) << size;
    }

    void bothHeartsAreDrawnDistinctAndReadOnAnyTray() {
        QFETCH(int, size);
        const QImage alive = vorn::app::heartIcon(true).pixmap(size, size).toImage();
        const QImage dead = vorn::app::heartIcon(false).pixmap(size, size).toImage();
        QCOMPARE(alive.size(), QSize(size, size));
        QCOMPARE(dead.size(), QSize(size, size));
        QVERIFY(alive != dead);
        // Transparent corners: the tray's own colour shows around the heart.
        QCOMPARE(alive.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(dead.pixelColor(size - 1, 0).alpha(), 0);
        for (const QImage& image : {alive, dead}) {
            const Tones tones = tonesOf(image);
            QVERIFY2(tones.dark > 0 && tones.light > 0, "needs a dark body and a light rim");
        }
        // The slash cuts the heart: fewer dark pixels than the filled heart.
        QVERIFY(tonesOf(dead).dark < tonesOf(alive).dark);
    }
};

QTEST_MAIN(HeartIconTest)
#include "HeartIconTest.moc"
