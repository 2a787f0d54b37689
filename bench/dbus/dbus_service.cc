// tavelin_bench_dbus_service ADDRESS REPLY: the D-Bus peer of roundtrip_bench, a minimal
// sd-bus service as a Linux helper usually is one. Connects to the bus at ADDRESS, exports
// the object of BenchInterface.h (Perform answering REPLY), takes its name, writes "ready"
// on its standard output and serves until the bus goes away.
//
// PerformAuthorized asks polkit on the system bus, over one connection opened at its first
// call and kept, whether the calling process may do what the daemon asks for an empty
// removal: the caller is found through the bus (sd_bus_query_sender_creds: pid and uid)
// and its start time read from /proc, named to polkit as a "unix-process".
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "bench/dbus/BenchInterface.h"

namespace {

using namespace tavelin::bench::dbus;

constexpr const char* authorityName = "org.freedesktop.PolicyKit1";
constexpr const char* authorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* authorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t allowUserInteraction = 1;  // as the daemon asks

struct Service {
    std::string reply;
    sd_bus* systemBus = nullptr;  // polkit's, from the first PerformAuthorized on
};

// Field 22 of /proc/PID/stat (clock ticks after boot), counted after the command's ")".
std::uint64_t startTimeOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)),
                           std::istreambuf_iterator<char>());
    const std::size_t commandEnd = text.rfind(')');
    if (commandEnd == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(commandEnd + 2));
    std::string field;
    for (int index = 3; index <= 22 && fields >> field; ++index) {
    }
    return std::strtoull(field.c_str(), nullptr, 10);
}

int appendSubject(sd_bus_message* call, pid_t pid, uid_t uid) {
    int step = sd_bus_message_open_container(call, 'r', "sa{sv}");
    if (step >= 0) {
        step = sd_bus_message_append(call, "s", "unix-process");
    }
    if (step >= 0) {
        step = sd_bus_message_append(call, "a{sv}", 3, "pid", "u", static_cast<std::uint32_t>(pid),
                                     "start-time", "t", startTimeOf(pid), "uid", "i",
                                     static_cast<std::int32_t>(uid));
    }
    if (step >= 0) {
        step = sd_bus_message_close_container(call);
    }
    return step;
}

// 1: authorised, 0: not, negative: the errno of the failed step.
int checkAuthorization(Service& service, pid_t pid, uid_t uid, sd_bus_error* error) {
    if (service.systemBus == nullptr) {
        if (const int opened = sd_bus_open_system(&service.systemBus); opened < 0) {
            return opened;
        }
    }
    sd_bus_message* call = nullptr;
    int step =
        sd_bus_message_new_method_call(service.systemBus, &call, authorityName, authorityPath,
                                       authorityInterface, "CheckAuthorization");
    if (step >= 0) {
        step = appendSubject(call, pid, uid);
    }
    if (step >= 0) {
        step = sd_bus_message_append(call, "sa{ss}us", authorizedAction, 1, "paths",
                                     authorizedPathsDetail, allowUserInteraction, "");
    }
    sd_bus_message* reply = nullptr;
    if (step >= 0) {
        step = sd_bus_call(service.systemBus, call, 0, error, &reply);
    }
    int authorized = 0;
    if (step >= 0) {
        step = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
    }
    if (step >= 0) {
        step = sd_bus_message_read(reply, "b", &authorized);
    }
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return step < 0 ? step : authorized;
}

int version(sd_bus_message* call, void* /*userdata*/, sd_bus_error* /*error*/) {
    return sd_bus_reply_method_return(call, "s", tavelin::bench::dbus::version);
}

int perform(sd_bus_message* call, void* userdata, sd_bus_error* /*error*/) {
    const char* request = nullptr;
    if (const int read = sd_bus_message_read(call, "s", &request); read < 0) {
        return read;
    }
    return sd_bus_reply_method_return(call, "s", static_cast<Service*>(userdata)->reply.c_str());
}

int performAuthorized(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto& service = *static_cast<Service*>(userdata);
    const char* request = nullptr;
    int step = sd_bus_message_read(call, "s", &request);
    sd_bus_creds* creds = nullptr;
    if (step >= 0) {
        step = sd_bus_query_sender_creds(call, SD_BUS_CREDS_PID | SD_BUS_CREDS_EUID, &creds);
    }
    pid_t pid = 0;
    uid_t uid = 0;
    if (step >= 0) {
        step = sd_bus_creds_get_pid(creds, &pid);
    }
    if (step >= 0) {
        step = sd_bus_creds_get_euid(creds, &uid);
    }
    sd_bus_creds_unref(creds);
    if (step >= 0) {
        step = checkAuthorization(service, pid, uid, error);
    }
    if (step < 0) {
        return step;
    }
    if (step == 0) {
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_ACCESS_DENIED, "Nicht autorisiert");
    }
    return sd_bus_reply_method_return(call, "s", service.reply.c_str());
}

// NOLINTBEGIN(cppcoreguidelines-avoid-c-arrays): sd-bus's vtable macros
// Unprivileged: on a bus that sd-bus does not trust, a method without the flag costs a
// look-up of the caller's capabilities on every call, which a helper's methods do not have.
const sd_bus_vtable serviceVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Version", "", "s", version, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Perform", "s", "s", perform, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("PerformAuthorized", "s", "s", performAuthorized, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
// NOLINTEND(cppcoreguidelines-avoid-c-arrays)

int fail(const char* step, int result) {
    static_cast<void>(
        std::fprintf(stderr, "bench D-Bus service: %s: %s\n", step, std::strerror(-result)));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        static_cast<void>(std::fprintf(stderr, "usage: %s ADDRESS REPLY\n", argv[0]));
        return 64;
    }
    Service service{argv[2]};
    sd_bus* bus = nullptr;
    int step = sd_bus_new(&bus);
    if (step >= 0) {
        step = sd_bus_set_address(bus, argv[1]);
    }
    if (step >= 0) {
        step = sd_bus_set_bus_client(bus, 1);
    }
    if (step >= 0) {
        step = sd_bus_start(bus);
    }
    if (step < 0) {
        return fail("bus", step);
    }
    step =
        sd_bus_add_object_vtable(bus, nullptr, objectPath, interfaceName, serviceVtable, &service);
    if (step < 0) {
        return fail("object", step);
    }
    step = sd_bus_request_name(bus, serviceName, 0);
    if (step < 0) {
        return fail("name", step);
    }
    static_cast<void>(std::printf("%s\n", readyLine));
    static_cast<void>(std::fflush(stdout));
    while ((step = sd_bus_process(bus, nullptr)) >= 0) {
        if (step == 0 && (step = sd_bus_wait(bus, UINT64_MAX)) < 0) {
            break;
        }
    }
    sd_bus_flush_close_unref(service.systemBus);
    sd_bus_flush_close_unref(bus);
    return step == -ECONNRESET || step == -ENOTCONN ? 0 : fail("serving", step);
}
