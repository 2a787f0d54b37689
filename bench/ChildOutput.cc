#include "bench/ChildOutput.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "bench/Comparison.h"

namespace tavelin::bench {

std::string awaitLine(const ChildWithOutput& child, std::string_view prefix,
                      std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string text;
    std::size_t lineStart = 0;
    while (Clock::now() < deadline) {
        pollfd readable{child.output.get(), POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (::poll(&readable, 1, static_cast<int>(std::max<long>(left.count(), 1))) <= 0) {
            continue;
        }
        // One byte at a time: nothing after the line is taken from the pipe.
        char byte = 0;
        if (::read(child.output.get(), &byte, 1) != 1) {
            break;
        }
        text.push_back(byte);
        if (byte != '\n') {
            continue;
        }
        std::string line = text.substr(lineStart, text.size() - lineStart - 1);
        if (line.rfind(prefix, 0) == 0) {
            return line;
        }
        lineStart = text.size();
    }
    fail("child " + std::to_string(child.child.pid()) + " did not write \"" + std::string(prefix) +
         "...\"; it wrote: " + text);
}

}  // namespace tavelin::bench
