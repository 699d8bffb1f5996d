#pragma once

#include "dispatch/ManualMainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"
#include "monitor/SettingsStore.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

// A monitor on a hand-driven clock: it listens on an ephemeral port and pings
// nobody unless the test advances the clock.
struct MonitorFixture {
    vorn::dispatch::ManualMainLoop loop;
    std::shared_ptr<vorn::monitor::MemorySettingsStore> store = std::make_shared<vorn::monitor::MemorySettingsStore>();
    std::shared_ptr<vorn::monitor::OSCSettings> settings = std::make_shared<vorn::monitor::OSCSettings>(
        "127.0.0.1", 9, 0, "/eos/ping", "/eos/out/ping", 1.0, false, 1.0, true, "", store);
    std::shared_ptr<vorn::monitor::OSCManager> manager = vorn::monitor::OSCManager::create(settings, loop, nullptr);

    // Lets go of the monitor only once no background start task holds it, so
    // nothing posts to the loop after it is gone. Views must go first.
    ~MonitorFixture() {
        std::weak_ptr<vorn::monitor::OSCManager> weak = manager;
        manager.reset();
        loop.runUntil([&] { return weak.expired(); }, std::chrono::seconds(10));
    }

    std::size_t countLinesStartingWith(const std::string& prefix) const {
        const auto lines = manager->log.lines();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
    }

    bool waitForLines(const std::string& prefix, std::size_t count) {
        return loop.runUntil([&] { return countLinesStartingWith(prefix) >= count; }, std::chrono::seconds(10));
    }
};
