// The console report plus one closing line that sets Kolvan's time next to its peer's.
#pragma once

#include <benchmark/benchmark.h>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kv::bench {

// Collects each benchmark function's real time (in its display unit); at the end calls
// ASummary with the times of AKolvan and APeer when both ran.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    using TSummary = std::function<void(double AKolvan, double APeer)>;
    TRatioReporter(std::string AKolvan, std::string APeer, TSummary ASummary)
        : FKolvan(std::move(AKolvan)), FPeer(std::move(APeer)), FSummary(std::move(ASummary)) {}

    void ReportRuns(const std::vector<Run>& ARuns) override {
        ConsoleReporter::ReportRuns(ARuns);
        for (const auto& run : ARuns)
            FTimes[run.run_name.function_name] = run.GetAdjustedRealTime();
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        double kolvan = FTimes[FKolvan], peer = FTimes[FPeer];
        if (kolvan > 0 && peer > 0)
            FSummary(kolvan, peer);
    }

private:
    std::string FKolvan, FPeer;
    TSummary FSummary;
    std::map<std::string, double> FTimes;
};

} // namespace kv::bench
