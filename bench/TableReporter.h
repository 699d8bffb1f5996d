#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace vorn::bench {

// The usual console report, then a Markdown table of the figures that matter,
// so that a run can be pasted into the README as it is. With repetitions the
// medians are used; without, the single runs.
class TableReporter : public benchmark::ConsoleReporter {
public:
    // Named figures of one run (nanoseconds, messages per second...).
    using Figures = std::map<std::string, double>;
    // By run name ("encode_ping/vorn").
    using Table = std::map<std::string, Figures>;
    // A run's figures; none leaves the run out of the table.
    using Read = std::function<Figures(const Run&)>;
    using Write = std::function<void(std::ostream&, const Table&)>;

    // Colours only for a terminal, so that a saved report stays plain text.
    TableReporter(Read read, Write write)
        : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular),
          read_(std::move(read)),
          write_(std::move(write)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            auto figures = read_(run);
            if (figures.empty()) continue;
            auto& row = rows_[run.run_name.function_name];
            if (median || !row.fromMedian) row = {std::move(figures), median};
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        Table table;
        for (const auto& [name, row] : rows_) table[name] = row.figures;
        auto& out = GetOutputStream();
        out << '\n';
        write_(out, table);
        out.flush();
    }

    // A figure of `table`, or -1 when there is none.
    static double figure(const Table& table, const std::string& run, const std::string& name) {
        const auto row = table.find(run);
        if (row == table.end()) return -1;
        const auto cell = row->second.find(name);
        return cell == row->second.end() ? -1 : cell->second;
    }
    // The CPU time of one iteration.
    static double nanoseconds(const Run& run) {
        return run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    // "-" for a figure that is missing.
    static std::string format(double value, int decimals) {
        if (value < 0) return "-";
        char text[32];
        std::snprintf(text, sizeof text, "%.*f", decimals, value);
        return text;
    }
    static std::string ratio(double ours, double theirs) {
        return ours < 0 || theirs <= 0 ? "-" : format(ours / theirs, 2);
    }

private:
    struct Row {
        Figures figures;
        bool fromMedian = false;
    };

    const Read read_;
    const Write write_;
    std::map<std::string, Row> rows_;
};

}  // namespace vorn::bench
