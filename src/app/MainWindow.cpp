#include "app/MainWindow.h"

#include "app/MonitorView.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <system_error>
#include <utility>

namespace vorn::app {

namespace {

// Far beyond any arrangement of screens, and well inside an int.
constexpr double coordinateLimit = 1'000'000;

std::string shortest(double value) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

// A cursor over the frame text; every step fails softly.
class FrameReader {
public:
    explicit FrameReader(std::string_view text) : text_(text) {}

    bool expect(char c) {
        skipBlanks();
        if (position_ < text_.size() && text_[position_] == c) {
            ++position_;
            return true;
        }
        return false;
    }

    std::optional<double> number() {
        skipBlanks();
        const char* begin = text_.data() + position_;
        const char* end = text_.data() + text_.size();
        double value = 0;
        const auto result = std::from_chars(begin, end, value);
        if (result.ec != std::errc() || !std::isfinite(value) || std::abs(value) > coordinateLimit) {
            return std::nullopt;
        }
        position_ += static_cast<std::size_t>(result.ptr - begin);
        return value;
    }

    bool atEnd() {
        skipBlanks();
        return position_ == text_.size();
    }

private:
    void skipBlanks() {
        while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t')) {
            ++position_;
        }
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

std::optional<std::pair<double, double>> pair(FrameReader& reader) {
    if (!reader.expect('{')) {
        return std::nullopt;
    }
    const auto first = reader.number();
    if (!first || !reader.expect(',')) {
        return std::nullopt;
    }
    const auto second = reader.number();
    if (!second || !reader.expect('}')) {
        return std::nullopt;
    }
    return std::pair(*first, *second);
}

}  // namespace

MainWindow::MainWindow(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                       dispatch::MainLoop& mainLoop, QWidget* parent)
    : QWidget(parent, Qt::Window), settings_(std::move(settings)), manager_(std::move(manager)),
      monitorView_(new MonitorView(settings_, manager_, mainLoop, this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(monitorView_);
    setWindowTitle(QString::fromUtf8(title));
    setMinimumSize(minimumFrameSize);
    setMaximumSize(maximumFrameSize);
    resize(minimumFrameSize.width(), maximumFrameSize.height());
}

MainWindow::~MainWindow() {
    opacitySubscription_.cancel();
    onTopSubscription_.cancel();
}

std::string MainWindow::frameText(const QRectF& frame) {
    return "{{" + shortest(frame.x()) + ", " + shortest(frame.y()) + "}, {" + shortest(frame.width()) + ", " +
           shortest(frame.height()) + "}}";
}

std::optional<QRectF> MainWindow::parseFrameText(std::string_view text) {
    FrameReader reader(text);
    if (!reader.expect('{')) {
        return std::nullopt;
    }
    const auto origin = pair(reader);
    if (!origin || !reader.expect(',')) {
        return std::nullopt;
    }
    const auto size = pair(reader);
    if (!size || !reader.expect('}') || !reader.atEnd()) {
        return std::nullopt;
    }
    if (!(size->first > 0) || !(size->second > 0)) {
        return std::nullopt;
    }
    return QRectF(origin->first, origin->second, size->first, size->second);
}

QSize MainWindow::clampedSize(QSize proposed) {
    return {std::clamp(proposed.width(), minimumFrameSize.width(), maximumFrameSize.width()),
            std::clamp(proposed.height(), minimumFrameSize.height(), maximumFrameSize.height())};
}

QRect MainWindow::placedOnScreens(const QRect& frame, const QList<QRect>& screens, const QRect& primary) {
    const bool onSomeScreen =
        std::any_of(screens.begin(), screens.end(), [&](const QRect& screen) { return screen.intersects(frame); });
    if (onSomeScreen || primary.isEmpty()) {
        return frame;
    }
    QRect moved(QPoint(0, 0), frame.size());
    moved.moveCenter(primary.center());
    if (moved.width() > primary.width()) {
        moved.moveLeft(primary.left());
    }
    if (moved.height() > primary.height()) {
        moved.moveTop(primary.top());
    }
    return moved;
}

void MainWindow::saveFrame() {
    settings_->defaults().setObject(frameText(QRectF(geometry())), frameKey);
}

bool MainWindow::restoreFrame() {
    const auto text = settings_->defaults().stringForKey(frameKey);
    if (!text) {
        return false;
    }
    const auto frame = parseFrameText(*text);
    if (!frame) {
        return false;
    }
    QRect wanted(QPoint(static_cast<int>(std::lround(frame->x())), static_cast<int>(std::lround(frame->y()))),
                 clampedSize(QSize(static_cast<int>(std::lround(frame->width())),
                                   static_cast<int>(std::lround(frame->height())))));
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        screens.append(screen->availableGeometry());
    }
    const QScreen* primary = QGuiApplication::primaryScreen();
    wanted = placedOnScreens(wanted, screens, primary != nullptr ? primary->availableGeometry() : QRect());
    setGeometry(wanted);
    return true;
}

void MainWindow::setVisible(bool visible) {
    if (visible && !appeared_) {
        appear();
        QWidget::setVisible(true);
        // The monitor started both when it was made; once more here, as
        // the window first appears. Later showings (after minimising, or
        // the re-show that a change of the on-top flag needs) start
        // nothing, so the timer's phase and the log stay as they were.
        manager_->startServerTask();
        manager_->startPingTimer();
        return;
    }
    QWidget::setVisible(visible);
}

void MainWindow::appear() {
    appeared_ = true;
    restoreFrame();
    setWindowTitle(QString::fromUtf8(title));
    setMinimumSize(minimumFrameSize);
    // Each hands over the current value at once, before the window shows.
    opacitySubscription_ = settings_->opacity.subscribe([this](const double& opacity) { setWindowOpacity(opacity); });
    onTopSubscription_ = settings_->alwaysOnTop.subscribe([this](const bool& onTop) { applyAlwaysOnTop(onTop); });
}

void MainWindow::applyAlwaysOnTop(bool onTop) {
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == onTop) {
        return;
    }
    // Changing a window's flags hides it; bring it back where it was.
    const bool wasVisible = isVisible();
    const QRect frame = geometry();
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    if (wasVisible) {
        setGeometry(frame);
        show();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveFrame();
    QWidget::closeEvent(event);
}

}  // namespace vorn::app
