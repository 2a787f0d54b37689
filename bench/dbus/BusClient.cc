#include "bench/dbus/BusClient.h"

#include <cstring>

#include "TavelinPlatform/authority/BusHandles.h"
#include "bench/Comparison.h"
#include "bench/dbus/BenchInterface.h"

namespace tavelin::bench::dbus {

namespace {

using sdbus::BusError;
using sdbus::Message;

// What the bus said went wrong, or the errno's text when it said nothing.
std::string failureText(const BusError& error, int result) {
    const std::string said = error.message();
    return said.empty() ? std::strerror(-result) : said;
}

}  // namespace

Bus connectWithHello(const std::string& address) {
    sd_bus* raw = nullptr;
    int step = sd_bus_new(&raw);
    Bus bus(raw);
    if (step >= 0) {
        step = sd_bus_set_address(raw, address.c_str());
    }
    if (step >= 0) {
        step = sd_bus_set_bus_client(raw, 1);
    }
    if (step >= 0) {
        step = sd_bus_start(raw);
    }
    // sd_bus_start only sends the authentication and the Hello; the unique name is known
    // once the Hello is answered, which this waits for.
    const char* uniqueName = nullptr;
    if (step >= 0) {
        step = sd_bus_get_unique_name(raw, &uniqueName);
    }
    if (step < 0) {
        fail("cannot connect to the bus " + address + ": " + std::strerror(-step));
    }
    return bus;
}

std::string ServiceCaller::version() {
    return call("Version", nullptr);
}

std::string ServiceCaller::perform(const std::string& request) {
    return call("Perform", &request);
}

std::string ServiceCaller::performAuthorized(const std::string& request) {
    return call("PerformAuthorized", &request);
}

std::string ServiceCaller::call(const char* method, const std::string* argument) {
    BusError error;
    sd_bus_message* raw = nullptr;
    const int called = argument == nullptr
                           ? sd_bus_call_method(bus_.get(), serviceName, objectPath, interfaceName,
                                                method, error.get(), &raw, "")
                           : sd_bus_call_method(bus_.get(), serviceName, objectPath, interfaceName,
                                                method, error.get(), &raw, "s", argument->c_str());
    const Message reply(raw);
    const char* answer = nullptr;
    const int read = called < 0 ? called : sd_bus_message_read(raw, "s", &answer);
    if (read < 0) {
        fail(std::string("D-Bus ") + method + ": " + failureText(error, read));
    }
    return answer;
}

}  // namespace tavelin::bench::dbus
