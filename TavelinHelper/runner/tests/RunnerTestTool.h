#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "TavelinHelper/runner/tests/SocketUnitStandIn.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"

#ifndef TAVELIN_RUNNER_FOR_TESTS
#error "TAVELIN_RUNNER_FOR_TESTS must name the runner built for the tests"
#endif
#ifndef TAVELIN_RUNNER_TEST_TOOL
#error "TAVELIN_RUNNER_TEST_TOOL must name the tool that runner runs"
#endif

// The update runner built for the tests, and the one path of the tool it runs: the tests
// take turns at that path (the CTest resource lock tavelin-runner-test-tool).
namespace tavelin::testing {

inline const std::string runnerProgram = TAVELIN_RUNNER_FOR_TESTS;
inline const std::string runnerToolPath = TAVELIN_RUNNER_TEST_TOOL;

// The runner's tool: a shell script with `body`, or none at all for an empty body.
inline void placeRunnerTool(const std::string& body, mode_t mode = 0755) {
    ::unlink(runnerToolPath.c_str());
    if (body.empty()) {
        return;
    }
    std::ofstream(runnerToolPath) << "#!/bin/sh\n" << body << "\n";
    ::chmod(runnerToolPath.c_str(), mode);
}

// A runner socket unit in a scratch folder, its log beside it.
struct RunnerWorld {
    ScratchTree scratch;
    std::string log = scratch.real("/runner.log");
    RunnerSocketUnit unit{scratch.real("/update.socket"), runnerProgram, log};
};

}  // namespace tavelin::testing
