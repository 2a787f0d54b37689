// The limits docs/protocol.md lists are the limits the code enforces: a constant changed
// without its row, or a row left behind by its constant, fails here.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinHelper/front/FrontLimits.h"
#include "TavelinHelper/front/VerifiedExecutables.h"
#include "TavelinHelper/monitor/FrontRestarts.h"
#include "TavelinHelper/monitor/Monitor.h"
#include "TavelinHelper/monitor/OperationAuthorization.h"
#include "TavelinPlatform/authority/SystemBusPool.h"
#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"
#include "TavelinPlatform/fs/TreeWalk.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/process/PeerCode.h"
#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {
namespace {

// "8,192": thousands grouped as the document writes them.
std::string grouped(std::size_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t index = 0; index < digits.size(); ++index) {
        if (index > 0 && (digits.size() - index) % 3 == 0) {
            text += ',';
        }
        text += digits[index];
    }
    return text;
}

// As people write sizes: "96 MiB", "4 KiB", "1,024 bytes".
std::string bytes(std::size_t value) {
    constexpr std::size_t kib = 1024;
    if (value % (kib * kib) == 0) {
        return std::to_string(value / (kib * kib)) + " MiB";
    }
    return value % kib == 0 && value < kib * kib ? std::to_string(value / kib) + " KiB"
                                                 : grouped(value) + " bytes";
}

template <typename Rep, typename Period>
std::string seconds(std::chrono::duration<Rep, Period> value) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(value).count()) + " s";
}

std::vector<std::string> cellsOf(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream stream(row);
    std::string cell;
    while (std::getline(stream, cell, '|')) {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

// The value column of the limits table's row whose constant column names `constant`.
std::string documentedValue(const std::string& constant) {
    std::ifstream document(TAVELIN_PROTOCOL_DOCUMENT);
    std::string row;
    while (std::getline(document, row)) {
        const auto cells = cellsOf(row);
        if (cells.size() >= 5 && cells[3].find("`" + constant + "`") != std::string::npos) {
            return cells[2];
        }
    }
    return "(no row names `" + constant + "`)";
}

TEST(DocumentedLimitsTest, EveryListedLimitHasTheValueTheCodeEnforces) {
    const FrontLimits limits;
    const struct {
        const char* constant;  // as the table's constant column names it
        std::string value;     // what the value column must begin with
    } rows[] = {
        {"maxConnections", grouped(limits.maxConnections)},
        {"maxConnectionsPerUser", grouped(limits.maxConnectionsPerUser)},
        {"maxAdmissionsInFlight", grouped(limits.maxAdmissionsInFlight)},
        {"maxPerformArgumentBytes", bytes(maxPerformArgumentBytes)},
        {"maxCallBody", bytes(maxPerformArgumentBytes) + " + " +
                            std::to_string(maxCallBody - maxPerformArgumentBytes) + " bytes"},
        {"partialFrameDeadline", seconds(limits.partialFrameDeadline)},
        {"maxBufferedBytes", bytes(limits.maxBufferedBytes)},
        {"maxBufferedBytesPerUser", bytes(limits.maxBufferedBytesPerUser)},
        {"maxOperationsInFlight", grouped(limits.maxOperationsInFlight) + " / " +
                                      grouped(limits.maxOperationsInFlightPerUser)},
        {"PrivilegedOperation::maxRemovalPaths", grouped(PrivilegedOperation::maxRemovalPaths)},
        {"Monitor::maxRunningOperations", grouped(Monitor::maxRunningOperations)},
        {"maxRemovalThreads", grouped(maxRemovalThreads) + ":"},
        {"defaultMaxOpenFolders", grouped(defaultMaxOpenFolders) + " "},
        {"front::workThreads", grouped(front::workThreads)},
        {"FrontRestarts::maxQuickRestarts", grouped(FrontRestarts::maxQuickRestarts)},
        {"Monitor::maxOpenPeers", grouped(Monitor::maxOpenPeers)},
        {"maxMappingsBytes", bytes(maxMappingsBytes)},
        {"maxVerifiedExecutables", grouped(maxVerifiedExecutables)},
        {"channel::maxRefusalLineBytes", grouped(channel::maxRefusalLineBytes) + " bytes"},
        {"PolkitAuthorization::maxAuthorizationWait",
         std::to_string(PolkitAuthorization::maxAuthorizationWait.count()) + " min"},
        {"PolkitAuthorization::maxDetailBytes", bytes(PolkitAuthorization::maxDetailBytes)},
        {"polkit::SystemBusPool::maxIdleConnections",
         grouped(polkit::SystemBusPool::maxIdleConnections)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.constant);
        const std::string documented = documentedValue(row.constant);
        EXPECT_EQ(documented.rfind(row.value, 0), 0U)
            << "documented \"" << documented << "\", enforced \"" << row.value << "\"";
    }
    // The restart delays and the healthy run stand in the row's words.
    const std::string restarts = documentedValue("FrontRestarts::maxQuickRestarts");
    EXPECT_NE(restarts.find("in a row"), std::string::npos);
    std::ifstream document(TAVELIN_PROTOCOL_DOCUMENT);
    const std::string text((std::istreambuf_iterator<char>(document)), {});
    EXPECT_NE(text.find("within `FrontRestarts::healthyRun` (" +
                        seconds(FrontRestarts::healthyRun) + ")"),
              std::string::npos);
    EXPECT_NE(text.find("each further restart waits " + seconds(FrontRestarts::firstDelay) +
                        ", doubling up to " + seconds(FrontRestarts::maxDelay)),
              std::string::npos);
}

}  // namespace
}  // namespace tavelin
