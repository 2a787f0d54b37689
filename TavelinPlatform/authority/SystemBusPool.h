#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/core/SystemError.h"

struct sd_bus;

namespace tavelin::polkit {

// The system bus, always at its fixed socket: a root process takes no bus address from
// its environment.
inline constexpr std::string_view systemBusAddress = "unix:path=/run/dbus/system_bus_socket";

// One client connection to the system bus: one unique name, one sender, over as many calls
// as it serves. sd-bus objects are not thread-safe, so a connection serves one thread at a
// time. Move-only; closing it drops what is still unsent and never waits for the bus.
class SystemBusConnection {
  public:
    // Connects to systemBusAddress and says Hello.
    [[nodiscard]] static Expected<SystemBusConnection, SystemError> open();

    [[nodiscard]] sd_bus* get() const noexcept { return bus_.get(); }

    // An id no earlier check on this connection had. The authority keys cancellations by
    // sender and id, and a kept connection is one sender over many checks: a cancel that
    // follows a timeout can then reach only the check it was meant for.
    [[nodiscard]] std::string nextCancellationId();

    // Handles what arrived unasked meanwhile (the bus's NameAcquired, the late answer to a
    // cancelled check), so that nothing piles up in a connection kept for later. False
    // when the connection turned out broken or closed.
    [[nodiscard]] bool settle() noexcept;

  private:
    struct Closer {
        void operator()(sd_bus* bus) const noexcept;
    };
    explicit SystemBusConnection(sd_bus* bus) noexcept : bus_(bus) {}

    std::unique_ptr<sd_bus, Closer> bus_;
    std::uint64_t checksAsked_ = 0;
};

// Connections kept between checks, so that a check usually skips connecting, authenticating
// and the Hello, a good part of its time (bench/polkit_bench.cc). No check ever waits for
// the pool: when none is idle, the check opens a connection of its own. Safe to use from
// several threads at once.
class SystemBusPool {
  public:
    // The most idle connections kept: enough for the checks of a few clients at once (a
    // burst beyond it opens connections of its own and closes them after), few enough
    // that an idle daemon holds little at the bus, which caps root's connections too.
    static constexpr std::size_t maxIdleConnections = 4;

    SystemBusPool() { idle_.reserve(maxIdleConnections); }
    SystemBusPool(const SystemBusPool&) = delete;
    SystemBusPool& operator=(const SystemBusPool&) = delete;
    ~SystemBusPool() = default;

    // The connection returned last, now the caller's alone; none when none is idle.
    [[nodiscard]] std::optional<SystemBusConnection> takeIdle();

    // For a connection whose check got its answer (or was cancelled in time): keeps it for
    // a later check while fewer than maxIdleConnections are idle and it settles cleanly,
    // closes it otherwise. A connection that failed is not given back but dropped.
    void giveBack(SystemBusConnection connection);

  private:
    Mutex mutex_;
    std::vector<SystemBusConnection> idle_ GUARDED_BY(mutex_);
};

}  // namespace tavelin::polkit
