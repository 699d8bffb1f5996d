#include "monitor/LogLines.h"

#include "monitor/SessionLog.h"

#include <chrono>
#include <utility>

namespace vorn::monitor {

namespace {

// Lines an export waits for when the disk is behind; a disk this slow is
// not waited for any longer.
constexpr auto exportPatience = std::chrono::seconds(2);

}  // namespace

void LogSnapshot::write(const std::function<void(std::string_view)>& sink) const {
    bool first = true;
    const auto line = [&](std::string_view text) {
        if (!first) {
            sink("\n");
        }
        first = false;
        sink(text);
    };
    const auto missing = [&](std::uint64_t count) {
        if (count > 0) {
            line("\xE2\x80\xA6 " + std::to_string(count) + (count == 1 ? " line" : " lines") +
                 " missing: the session log did not keep them");
        }
    };
    missing(lostBefore);
    std::uint64_t read = 0;
    if (session && fromFile > 0) {
        session->waitUntilWritten(fromFile, exportPatience);
        // The file hands its lines over joined already; only its first piece
        // needs a separator from what came before.
        bool firstPiece = true;
        read = session->readLines(fromFile, [&](std::string_view piece) {
            if (firstPiece && !first) {
                sink("\n");
            }
            firstPiece = false;
            first = false;
            sink(piece);
        });
    }
    missing(fromFile - read);
    for (const auto& text : inMemory) {
        line(text);
    }
}

LogLines::LogLines(dispatch::ObjectWillChange* owner) : owner_(owner) {}

LogLines::~LogLines() = default;

void LogLines::append(std::string line) {
    if (owner_ != nullptr) {
        owner_->emit();
    }
    appended_.emit(static_cast<std::size_t>(count()), line);
    if (session_) {
        session_->write(line);
    }
    lines_.push_back(std::move(line));
    trim();
}

void LogLines::trim() {
    while (lines_.size() > memoryLimit_) {
        lines_.pop_front();
        ++firstIndex_;
    }
}

void LogLines::setMemoryLimit(std::size_t limit) {
    memoryLimit_ = limit;
    trim();
}

void LogLines::recordTo(std::shared_ptr<SessionLog> session) {
    session_ = std::move(session);
    sessionStart_ = firstIndex_;
    if (session_) {
        for (const auto& line : lines_) {
            session_->write(line);
        }
    }
}

LogSnapshot LogLines::snapshot() const {
    LogSnapshot snapshot;
    snapshot.inMemory = lines();
    if (session_) {
        snapshot.session = session_;
        snapshot.lostBefore = sessionStart_;
        snapshot.fromFile = firstIndex_ - sessionStart_;
    } else {
        snapshot.lostBefore = firstIndex_;
    }
    return snapshot;
}

dispatch::Cancellable LogLines::subscribe(Subscriber subscriber) {
    return appended_.connect(std::move(subscriber));
}

}  // namespace vorn::monitor
