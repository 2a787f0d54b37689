#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

// The client's side of the D-Bus peer: calls over a kept connection, and whole new
// connections.
namespace tavelin::bench::dbus {

struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

// A new connection to the bus at `address` that has authenticated (EXTERNAL) and had its
// Hello answered, as a client that connects and calls at once would have it. Fails the
// benchmark when it cannot be made.
[[nodiscard]] Bus connectWithHello(const std::string& address);

// A kept connection calling the service's methods, as a client of a D-Bus helper does.
class ServiceCaller {
  public:
    explicit ServiceCaller(const std::string& address) : bus_(connectWithHello(address)) {}

    // Each answers the string the method returned and fails the benchmark on an error.
    [[nodiscard]] std::string version();
    [[nodiscard]] std::string perform(const std::string& request);
    [[nodiscard]] std::string performAuthorized(const std::string& request);

  private:
    [[nodiscard]] std::string call(const char* method, const std::string* argument);

    Bus bus_;
};

}  // namespace tavelin::bench::dbus
