#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::bench::dbus {

// A dbus-daemon of the benchmark's own: a configuration file in a fresh folder below /tmp
// (a unix socket in that folder, EXTERNAL authentication, everything allowed), started
// with --nofork and --print-address. Destroying it kills the daemon (SIGKILL), reaps it
// and removes the folder.
class PrivateBus {
  public:
    // Fails the benchmark when dbus-daemon cannot be started.
    [[nodiscard]] static std::unique_ptr<PrivateBus> start();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus();

    // "unix:path=/tmp/...,guid=...", as the daemon printed it.
    [[nodiscard]] const std::string& address() const noexcept { return address_; }
    [[nodiscard]] pid_t pid() const noexcept { return daemon_->child.pid(); }

  private:
    explicit PrivateBus(std::string folder) : folder_(std::move(folder)) {}

    std::string folder_;
    std::optional<ChildWithOutput> daemon_;
    std::string address_;
};

}  // namespace tavelin::bench::dbus
