#include "app/WaveformView.h"

#include "MonitorFixture.h"

#include <QImage>
#include <QTest>

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using vorn::app::WaveformView;

namespace {

// Collects what the code under test writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(::fileno(file_), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    std::string text() {
        restore();
        std::string result;
        std::rewind(file_);
        char buffer[256];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) result.append(buffer, n);
        return result;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
};

}  // namespace

class WaveformViewTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void spikeGeometryOfA300WideBand() {
        const auto points = WaveformView::spikePoints(QSizeF(300, 50));
        const double midY = 25;
        QCOMPARE(points.front(), QPointF(0, midY));
        QCOMPARE(points[1], QPointF(135, midY));
        QCOMPARE(points[3], QPointF(143, midY + 8));
        // The peak and the deepest point of the beat.
        QCOMPARE(points[4], QPointF(147, midY - 20));
        QCOMPARE(points[5].y(), midY + 16);
        QVERIFY(std::abs(points[5].x() - 150.6) < 1e-9);
        QVERIFY(std::abs(points[7].x() - 159) < 1e-9);
        QCOMPARE(points.back(), QPointF(300, midY));
    }

    void trimDrawsTheFirstPartByLength_data() {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<int>("pointCount");
        QTest::newRow("nothing") << 0.0 << 0;
        QTest::newRow("half the lead-in") << 0.2 << 2;
        QTest::newRow("all") << 1.0 << 9;
        QTest::newRow("beyond all") << 1.5 << 9;
    }

    void trimDrawsTheFirstPartByLength() {
        QFETCH(double, fraction);
        QFETCH(int, pointCount);
        const auto points = WaveformView::spikePoints(QSizeF(300, 50));
        const auto drawn = WaveformView::trimmed(points, fraction);
        QCOMPARE(static_cast<int>(drawn.size()), pointCount);
        const auto length = [](const auto& line) {
            double total = 0;
            for (std::size_t i = 1; i < line.size(); ++i)
                total += std::hypot(line[i].x() - line[i - 1].x(), line[i].y() - line[i - 1].y());
            return total;
        };
        QVERIFY(std::abs(length(drawn) - length(points) * std::min(fraction, 1.0)) < 1e-6);
    }

    void titleOfBlanksShowsNothing_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("shown");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("spaces") << "    " << false;
        QTest::newRow("spaces and tabs") << " \t \t" << false;
        QTest::newRow("line breaks count") << "\n" << true;
        QTest::newRow("padded") << "  FOH  " << true;
    }

    void titleOfBlanksShowsNothing() {
        QFETCH(QString, title);
        QFETCH(bool, shown);
        QCOMPARE(WaveformView::showsTitle(title.toStdString()), shown);
    }

    void blankTitlePaintsLikeNoTitle() {
        MonitorFixture fixture;
        WaveformView view(fixture.settings, fixture.manager);
        view.resize(300, WaveformView::bandHeight);
        const QImage untitled = view.grab().toImage();
        fixture.settings->title = "    ";
        QCOMPARE(view.grab().toImage(), untitled);
        fixture.settings->title = "FOH";
        QVERIFY(view.grab().toImage() != untitled);
    }

    void heartbeatWritesItsLineAndDrawsTheSpike() {
        MonitorFixture fixture;
        StdoutCapture capture;
        WaveformView view(fixture.settings, fixture.manager);
        QCOMPARE(view.spikeOpacity(), 0.0);
        fixture.manager->heartbeatCount = 7;
        QCOMPARE(capture.text(), std::string("WaveformView spike for heartbeatCount=7\n"));
        QCOMPARE(view.spikeOpacity(), 1.0);
        QCOMPARE(view.pathTrim(), 0.0);
        QTRY_COMPARE(view.pathTrim(), 1.0);
    }

    void aNewHeartbeatCutsTheFadeShort() {
        MonitorFixture fixture;
        WaveformView view(fixture.settings, fixture.manager);
        fixture.manager->heartbeatCount = 1;
        QTRY_VERIFY(view.spikeOpacity() < 1.0);
        fixture.manager->heartbeatCount = 2;
        QCOMPARE(view.spikeOpacity(), 1.0);
        QCOMPARE(view.pathTrim(), 0.0);
        // The fade follows the interval: one second here.
        QTRY_COMPARE_WITH_TIMEOUT(view.spikeOpacity(), 0.0, 5000);
    }
};

QTEST_MAIN(WaveformViewTest)
#include "WaveformViewTest.moc"
