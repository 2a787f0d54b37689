#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::bench::dbus {

// The D-Bus service (tavelin_bench_dbus_service, BenchInterface.h) as a child process on
// the bus at `busAddress`, answering Perform with `performReply`. Started once it owns its
// name; destroying it kills (SIGKILL) and reaps it.
class ServiceProcess {
  public:
    // Fails the benchmark when the service does not come up.
    [[nodiscard]] static std::unique_ptr<ServiceProcess> start(const std::string& busAddress,
                                                               const std::string& performReply);
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess() = default;

    [[nodiscard]] pid_t pid() const noexcept { return service_.child.pid(); }

  private:
    explicit ServiceProcess(ChildWithOutput service) : service_(std::move(service)) {}

    ChildWithOutput service_;
};

}  // namespace tavelin::bench::dbus
