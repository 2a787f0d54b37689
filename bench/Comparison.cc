#include "bench/Comparison.h"

#include <algorithm>
#include <cstdio>

namespace tavelin::bench {

double secondsOf(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void fail(const std::string& what) {
    throw BenchFailure(what);
}

std::vector<Comparison> compareWithEach(const std::function<void()>& measured,
                                        const std::vector<std::function<void()>>& references,
                                        int rounds, int iterations) {
    const auto time = [&](const std::function<void()>& work) {
        const auto start = Clock::now();
        for (int index = 0; index < iterations; ++index) {
            work();
        }
        return secondsOf(Clock::now() - start) / iterations;
    };
    std::vector<double> measuredTimes;
    std::vector<std::vector<double>> referenceTimes(references.size());
    std::vector<std::vector<double>> ratios(references.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t index = 0; index < references.size(); ++index) {
            referenceTimes[index].push_back(time(references[index]));
        }
        measuredTimes.push_back(time(measured));
        for (std::size_t index = 0; index < references.size(); ++index) {
            ratios[index].push_back(measuredTimes.back() / referenceTimes[index].back());
        }
    }
    std::vector<Comparison> comparisons;
    comparisons.reserve(references.size());
    for (std::size_t index = 0; index < references.size(); ++index) {
        comparisons.push_back(
            {median(measuredTimes), median(referenceTimes[index]), median(ratios[index])});
    }
    return comparisons;
}

Comparison compare(const std::function<void()>& measured, const std::function<void()>& reference,
                   int rounds, int iterations) {
    return compareWithEach(measured, {reference}, rounds, iterations).front();
}

void report(const char* what, const Comparison& comparison, const char* note) {
    report(what, comparison, note, 1e6, "us");
}

void report(const char* what, const Comparison& comparison, const char* note, double scale,
            const char* unit) {
    static_cast<void>(std::printf("%-56s %10.2f %s vs %10.2f %s  ratio %7.4f  (%s)\n", what,
                                  comparison.measured * scale, unit, comparison.reference * scale,
                                  unit, comparison.ratio, note));
}

}  // namespace tavelin::bench
