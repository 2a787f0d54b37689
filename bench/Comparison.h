#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Timing one piece of work against references, the way every line of roundtrip_bench is
// measured: alternating short rounds, medians.
namespace tavelin::bench {

using Clock = std::chrono::steady_clock;

[[nodiscard]] double secondsOf(Clock::duration duration);
[[nodiscard]] double median(std::vector<double> values);

// Ends the benchmark: throws BenchFailure, which main() reports as "<program>: <what>"
// with status 2, once the stack's destructors have stopped what the run started.
struct BenchFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
[[noreturn]] void fail(const std::string& what);

// Seconds per iteration of the measured work and of the reference, and their ratio: each
// the median over the rounds.
struct Comparison {
    double measured = 0;
    double reference = 0;
    double ratio = 0;
};

// Every round times `iterations` of each reference in turn and then of `measured`, so that
// load from elsewhere on the machine hits all of them alike; one Comparison per reference.
[[nodiscard]] std::vector<Comparison> compareWithEach(
    const std::function<void()>& measured, const std::vector<std::function<void()>>& references,
    int rounds, int iterations);
[[nodiscard]] Comparison compare(const std::function<void()>& measured,
                                 const std::function<void()>& reference, int rounds,
                                 int iterations);

// One line: "<what>  <measured> vs <reference>  ratio <r>  (<note>)", the times in
// microseconds per iteration, or in `unit` after multiplying seconds by `scale`; the note
// names the target ("target <= 1.5").
void report(const char* what, const Comparison& comparison, const char* note);
void report(const char* what, const Comparison& comparison, const char* note, double scale,
            const char* unit);

}  // namespace tavelin::bench
