#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

// What the path policy's table tests share, whichever layout they were compiled with.
namespace tavelin::testing {

// A path, the directory it is judged in, and whether it is admitted.
struct PolicyRow {
    std::string path, currentDirectory;
    bool admitted;
};

// The text as gtest prints it, NUL bytes included.
inline std::string shown(const std::string& text) {
    return ::testing::PrintToString(text);
}

// Expects `judge` (PrivilegedPathPolicy::isRemovable or isRepairable) to give each row its
// verdict; every failing row is reported with its input.
inline void expectVerdicts(const std::vector<PolicyRow>& rows,
                           bool (*judge)(std::string_view, std::string_view)) {
    for (const PolicyRow& row : rows) {
        SCOPED_TRACE(shown(row.path) + " in " + shown(row.currentDirectory));
        EXPECT_EQ(judge(row.path, row.currentDirectory), row.admitted);
    }
}

}  // namespace tavelin::testing
