#pragma once

#include <sys/types.h>

#include <cstddef>
#include <unordered_map>

#include "TavelinHelper/front/FrontLimits.h"

namespace tavelin {

// What the clients hold in the front, counted against its limits (FrontLimits): the
// connections of all users and of each, the admissions under way, the request and reply
// bytes held, and the operations waiting for the monitor. It only counts; what a limit
// reached means (accepting paused, reading paused, a call queued, a connection closed) is
// the loop's. A user is forgotten once it holds nothing. Not thread-safe: the loop's own.
class FrontBudget {
  public:
    explicit FrontBudget(const FrontLimits& limits) : limits_(limits) {}

    // Whether another connection may be accepted: room left among all users' connections
    // and among the admissions under way.
    [[nodiscard]] bool hasRoomToAccept() const noexcept;
    // Takes one of `uid`'s connection slots; false (and nothing taken) when it holds all.
    [[nodiscard]] bool takeConnection(uid_t uid);
    void releaseConnection(uid_t uid) noexcept;
    void startAdmission() noexcept { ++admissions_; }
    void finishAdmission() noexcept { --admissions_; }

    // Whether an operation slot of all users is free, whoever asks.
    [[nodiscard]] bool hasOperationSlot() const noexcept;
    // Takes an operation slot of all users and one of `uid`'s; false (and nothing taken)
    // when either is spent.
    [[nodiscard]] bool takeOperation(uid_t uid);
    void releaseOperation(uid_t uid) noexcept;

    // `uid` now holds `now` bytes where it held `before` (one connection's change). Throws
    // only std::bad_alloc, and only for a user that held nothing yet: never when bytes are
    // given back by a connection, which holds a slot of its user.
    void recharge(uid_t uid, std::size_t before, std::size_t now);
    // Whether one more chunk (front::receiveChunkSize) fits among all users' bytes and
    // among `uid`'s.
    [[nodiscard]] bool allowsReading(uid_t uid) const noexcept;

  private:
    struct Usage {
        std::size_t connections = 0;
        std::size_t operations = 0;
        std::size_t bufferedBytes = 0;
    };

    [[nodiscard]] const Usage* usageOf(uid_t uid) const noexcept;
    void forgetIfIdle(uid_t uid) noexcept;

    const FrontLimits limits_;
    std::unordered_map<uid_t, Usage> users_;
    std::size_t connections_ = 0;
    std::size_t admissions_ = 0;
    std::size_t operations_ = 0;
    std::size_t bufferedBytes_ = 0;
};

}  // namespace tavelin
