#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "TavelinHelper/front/FrontDelegate.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/SenderPidfd.h"

namespace tavelin {

// One client connection as the front's loop keeps it: from its acceptance through its
// admission to its end. Plain state; FrontServer alone changes it, on the loop thread.
struct FrontConnection {
    enum class Stage { admitting, serving };

    std::uint64_t id = 0;
    UniqueFd socket;
    pid_t pid = 0;
    uid_t uid = 0;
    Stage stage = Stage::admitting;
    UniqueFd senderPidfd;
    std::optional<ProcessIdentity> sender;
    std::shared_ptr<ConnectionService> service;
    std::uint64_t peerHandle = 0;
    FrameReader reader{maxCallBody};
    std::optional<CallFrame> waitingCall;  // taken from the reader, waiting for a slot
    bool callInFlight = false;
    std::size_t argumentBytes = 0;  // of the call in flight
    std::string output;             // reply bytes not yet sent
    std::size_t charged = 0;        // bytes counted against the budgets
    bool peerClosed = false;
    bool waitingForBudget = false;
    std::optional<std::chrono::steady_clock::time_point> frameBegun;
    std::uint32_t interest = 0;  // the epoll events asked for now
    // Closed: every handler leaves it alone until collectGarbage() frees it.
    bool closed = false;
    std::optional<ConnectionEnd> end;       // why it closed, told to the delegate when freed
    FrontConnection* nextClosed = nullptr;  // the closed ones, in the order they closed
};

}  // namespace tavelin
