#include "monitor/LogLines.h"

#include <utility>

namespace vorn::monitor {

LogLines::LogLines(dispatch::ObjectWillChange* owner) : owner_(owner) {}

void LogLines::append(std::string line) {
    if (owner_ != nullptr) {
        owner_->emit();
    }
    appended_.emit(lines_.size(), line);
    lines_.push_back(std::move(line));
}

dispatch::Cancellable LogLines::subscribe(Subscriber subscriber) {
    return appended_.connect(std::move(subscriber));
}

}  // namespace vorn::monitor
