#include "bench/dbus/PrivateBus.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

#include "bench/ChildOutput.h"
#include "bench/Comparison.h"

namespace tavelin::bench::dbus {

namespace {

constexpr const char* dbusDaemon = "/usr/bin/dbus-daemon";

// Everyone may connect, own any name and send anything: the benchmark measures the
// transport, not a policy. The connection limits are raised above the thousand
// connections in a row of the admission measure (the defaults, 256 per user, would count
// ones the daemon has not yet seen closed).
std::string configuration(const std::string& socketPath) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)" +
           socketPath + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_connections_per_user">100000</limit>
</busconfig>
)";
}

}  // namespace

std::unique_ptr<PrivateBus> PrivateBus::start() {
    std::string folder = "/tmp/tavelin-bench-bus-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        fail("mkdtemp for the private bus");
    }
    std::unique_ptr<PrivateBus> bus(new PrivateBus(folder));
    const std::string configPath = folder + "/bus.conf";
    std::ofstream(configPath) << configuration(folder + "/socket");
    auto started =
        spawnWithCombinedOutput(dbusDaemon, {"--config-file=" + configPath, "--print-address",
                                             "--nofork", "--nopidfile", "--nosyslog"});
    if (!started) {
        fail(std::string("cannot start ") + dbusDaemon + ": " + started.error().describe());
    }
    bus->daemon_.emplace(std::move(started).value());
    bus->address_ = awaitLine(*bus->daemon_, "unix:");
    return bus;
}

PrivateBus::~PrivateBus() {
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace tavelin::bench::dbus
