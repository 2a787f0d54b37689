#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

// Owners of sd-bus objects, for everything here that talks D-Bus.
namespace tavelin::sdbus {

struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error freed on every path.
class BusError {
  public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error_); }

    sd_bus_error* get() noexcept { return &error_; }
    // The error's name and text, empty when the bus gave none.
    [[nodiscard]] std::string name() const { return error_.name ? error_.name : ""; }
    [[nodiscard]] std::string message() const { return error_.message ? error_.message : ""; }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace tavelin::sdbus
