// The front's accounting at its limits: each limit refuses exactly at its edge, gives back
// what is released, and one user's holdings never count against another's own limit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TavelinHelper/front/FrontBudget.h"

namespace tavelin {
namespace {

constexpr std::size_t chunk = front::receiveChunkSize;

enum class Act {
    takeConnection,     // expects whether it was taken
    releaseConnection,  //
    startAdmission,     //
    finishAdmission,    //
    roomToAccept,       // expects whether there is room
    takeOperation,      // expects whether it was taken
    releaseOperation,   //
    charge,             // `uid` goes from `before` to `now` bytes
    mayRead,            // expects whether `uid` may read another chunk
};

struct Step {
    Act act;
    uid_t uid = 0;
    bool expected = true;
    std::size_t before = 0;
    std::size_t now = 0;
};

struct Case {
    const char* name;
    FrontLimits limits;
    std::vector<Step> steps;
};

FrontLimits limitsOf(std::size_t connections, std::size_t connectionsPerUser,
                     std::size_t admissions, std::size_t operations, std::size_t operationsPerUser,
                     std::size_t bytes, std::size_t bytesPerUser) {
    FrontLimits limits;
    limits.maxConnections = connections;
    limits.maxConnectionsPerUser = connectionsPerUser;
    limits.maxAdmissionsInFlight = admissions;
    limits.maxOperationsInFlight = operations;
    limits.maxOperationsInFlightPerUser = operationsPerUser;
    limits.maxBufferedBytes = bytes;
    limits.maxBufferedBytesPerUser = bytesPerUser;
    return limits;
}

// Runs one step; false when its answer is not the expected one.
bool run(FrontBudget& budget, const Step& step) {
    switch (step.act) {
        case Act::takeConnection:
            return budget.takeConnection(step.uid) == step.expected;
        case Act::releaseConnection:
            budget.releaseConnection(step.uid);
            return true;
        case Act::startAdmission:
            budget.startAdmission();
            return true;
        case Act::finishAdmission:
            budget.finishAdmission();
            return true;
        case Act::roomToAccept:
            return budget.hasRoomToAccept() == step.expected;
        case Act::takeOperation:
            return budget.takeOperation(step.uid) == step.expected;
        case Act::releaseOperation:
            budget.releaseOperation(step.uid);
            return true;
        case Act::charge:
            budget.recharge(step.uid, step.before, step.now);
            return true;
        case Act::mayRead:
            return budget.allowsReading(step.uid) == step.expected;
    }
    return false;
}

TEST(FrontBudgetTest, EachLimitHoldsAtItsEdgeGivesBackWhatIsReleasedAndPerUser) {
    using enum Act;
    const Case cases[] = {
        {"a user's connections, the next user's own, and one given back",
         limitsOf(8, 2, 8, 8, 8, 8 * chunk, 8 * chunk),
         {{takeConnection, 1},
          {takeConnection, 1},
          {takeConnection, 1, false},
          {takeConnection, 2},
          {takeConnection, 2},
          {takeConnection, 2, false},
          {releaseConnection, 1},
          {takeConnection, 1},
          {takeConnection, 1, false}}},
        {"all users' connections stop accepting until one ends",
         limitsOf(2, 2, 8, 8, 8, 8 * chunk, 8 * chunk),
         {{roomToAccept},
          {takeConnection, 1},
          {takeConnection, 2},
          {roomToAccept, 0, false},
          {releaseConnection, 2},
          {roomToAccept}}},
        {"admissions under way stop accepting until one finishes",
         limitsOf(8, 8, 2, 8, 8, 8 * chunk, 8 * chunk),
         {{startAdmission},
          {roomToAccept},
          {startAdmission},
          {roomToAccept, 0, false},
          {finishAdmission},
          {roomToAccept}}},
        {"a user's operations, and another's while all users' last",
         limitsOf(8, 8, 8, 3, 2, 8 * chunk, 8 * chunk),
         {{takeOperation, 1},
          {takeOperation, 1},
          {takeOperation, 1, false},
          {takeOperation, 2},
          {takeOperation, 2, false},
          {releaseOperation, 1},
          {takeOperation, 2},
          {takeOperation, 1, false},
          {releaseOperation, 2},
          {takeOperation, 1}}},
        {"a user's bytes up to the last whole chunk, and another's untouched",
         limitsOf(8, 8, 8, 8, 8, 8 * chunk, 2 * chunk),
         {{mayRead, 1},
          {charge, 1, true, 0, chunk},
          {mayRead, 1},
          {charge, 1, true, chunk, chunk + 1},
          {mayRead, 1, false},
          {mayRead, 2},
          {charge, 1, true, chunk + 1, chunk},
          {mayRead, 1}}},
        {"all users' bytes stop every reader until freed",
         limitsOf(8, 8, 8, 8, 8, 3 * chunk, 2 * chunk),
         {{charge, 1, true, 0, chunk},
          {charge, 2, true, 0, chunk},
          {mayRead, 3},
          {charge, 2, true, chunk, chunk + 1},
          {mayRead, 3, false},
          {mayRead, 1, false},
          {charge, 2, true, chunk + 1, 0},
          {mayRead, 3}}},
        {"a user that held everything and let go starts afresh",
         limitsOf(8, 1, 8, 8, 1, 8 * chunk, 2 * chunk),
         {{takeConnection, 1},
          {takeOperation, 1},
          {charge, 1, true, 0, 2 * chunk},
          {releaseOperation, 1},
          {charge, 1, true, 2 * chunk, 0},
          {releaseConnection, 1},
          {takeConnection, 1},
          {takeOperation, 1},
          {mayRead, 1}}},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        FrontBudget budget(testCase.limits);
        for (std::size_t index = 0; index < testCase.steps.size(); ++index) {
            EXPECT_TRUE(run(budget, testCase.steps[index])) << "step " << index;
        }
    }
}

}  // namespace
}  // namespace tavelin
