#pragma once

#include <string>
#include <vector>

namespace tavelin::tavelinctl {

// A command line for a test's trace, each word bracketed so that spaces and empty words
// show: "[remove][a b][]".
inline std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += "[" + word + "]";
    }
    return text;
}

}  // namespace tavelin::tavelinctl
