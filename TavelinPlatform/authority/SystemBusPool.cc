#include "TavelinPlatform/authority/SystemBusPool.h"

#include <systemd/sd-bus.h>

#include <utility>

namespace tavelin::polkit {

namespace {

// Settling handles at most this many unasked messages: more means someone floods the
// connection (any local process may send it signals), and it is closed instead of kept.
constexpr int maxUnaskedMessages = 64;

}  // namespace

void SystemBusConnection::Closer::operator()(sd_bus* bus) const noexcept {
    // No flush: a healthy connection has nothing left to send, and a broken one might
    // never take it.
    sd_bus_close_unref(bus);
}

Expected<SystemBusConnection, SystemError> SystemBusConnection::open() {
    sd_bus* raw = nullptr;
    if (const int made = sd_bus_new(&raw); made < 0) {
        return systemError(-made, "sd_bus_new");
    }
    SystemBusConnection connection(raw);
    const std::string address(systemBusAddress);
    int step = sd_bus_set_address(raw, address.c_str());
    if (step >= 0) {
        step = sd_bus_set_bus_client(raw, 1);
    }
    if (step >= 0) {
        step = sd_bus_negotiate_fds(raw, 1);
    }
    if (step >= 0) {
        step = sd_bus_start(raw);
    }
    if (step < 0) {
        return systemError(-step, "system bus", address);
    }
    return connection;
}

std::string SystemBusConnection::nextCancellationId() {
    return "tavelin-check-" + std::to_string(++checksAsked_);
}

bool SystemBusConnection::settle() noexcept {
    for (int handled = 0; handled < maxUnaskedMessages; ++handled) {
        const int step = sd_bus_process(bus_.get(), nullptr);
        if (step == 0) {
            return sd_bus_is_open(bus_.get()) > 0;
        }
        if (step < 0) {
            return false;
        }
    }
    return false;
}

std::optional<SystemBusConnection> SystemBusPool::takeIdle() {
    const MutexLock lock(mutex_);
    if (idle_.empty()) {
        return std::nullopt;
    }
    std::optional<SystemBusConnection> taken(std::move(idle_.back()));
    idle_.pop_back();
    return taken;
}

// A connection there is no room for closes as the parameter goes, after the lock is let go.
void SystemBusPool::giveBack(SystemBusConnection connection) {
    if (!connection.settle()) {
        return;
    }
    const MutexLock lock(mutex_);
    // Within the capacity reserved at construction: never allocates.
    if (idle_.size() < maxIdleConnections) {
        idle_.push_back(std::move(connection));
    }
}

}  // namespace tavelin::polkit
