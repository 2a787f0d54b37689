#include "TavelinPlatform/authority/Polkit.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <memory>

namespace tavelin::polkit {

namespace {

constexpr const char* authorityName = "org.freedesktop.PolicyKit1";
constexpr const char* authorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* authorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t allowUserInteraction = 1;
// Unique per bus connection, and each check has a connection of its own.
constexpr const char* cancellationId = "tavelin-check";
constexpr std::chrono::seconds cancellationDeadline{1};
constexpr std::chrono::seconds probeDeadline{5};

struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error freed on every path.
class BusError {
  public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error_); }

    sd_bus_error* get() noexcept { return &error_; }
    [[nodiscard]] std::string name() const {
        return error_.name != nullptr ? std::string(error_.name) : std::string();
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

std::uint64_t microseconds(std::chrono::milliseconds duration) {
    return static_cast<std::uint64_t>(duration.count()) * 1000;
}

// A sd-bus return value: negative errno on failure.
Unexpected<SystemError> busFailure(int result, std::string_view call, std::string_view what = {}) {
    return systemError(-result, call, what);
}

Expected<Bus, SystemError> connectSystemBus() {
    sd_bus* raw = nullptr;
    if (const int made = sd_bus_new(&raw); made < 0) {
        return busFailure(made, "sd_bus_new");
    }
    Bus bus(raw);
    const std::string address(systemBusAddress);
    int step = sd_bus_set_address(bus.get(), address.c_str());
    if (step >= 0) {
        step = sd_bus_set_bus_client(bus.get(), 1);
    }
    if (step >= 0) {
        step = sd_bus_negotiate_fds(bus.get(), 1);
    }
    if (step >= 0) {
        step = sd_bus_start(bus.get());
    }
    if (step < 0) {
        return busFailure(step, "system bus", address);
    }
    return bus;
}

bool nameIsOwned(sd_bus* bus) {
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "NameHasOwner", error.get(),
                                          &reply, "s", authorityName);
    const Message owned(reply);
    int answer = 0;
    return called >= 0 && sd_bus_message_read(reply, "b", &answer) >= 0 && answer != 0;
}

bool nameIsActivatable(sd_bus* bus) {
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called =
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListActivatableNames", error.get(), &reply, "");
    const Message names(reply);
    if (called < 0 || sd_bus_message_enter_container(reply, 'a', "s") < 0) {
        return false;
    }
    const char* name = nullptr;
    while (sd_bus_message_read(reply, "s", &name) > 0) {
        if (std::string_view(name) == authorityName) {
            return true;
        }
    }
    return false;
}

int appendSubject(sd_bus_message* call, const Subject& subject) {
    int step = sd_bus_message_open_container(call, 'r', "sa{sv}");
    if (step >= 0) {
        step = sd_bus_message_append(call, "s", "unix-process");
    }
    if (step >= 0) {
        step = sd_bus_message_open_container(call, 'a', "{sv}");
    }
    if (step >= 0) {
        step = sd_bus_message_append(
            call, "{sv}{sv}{sv}", "pid", "u", static_cast<std::uint32_t>(subject.pid), "start-time",
            "t", subject.startTime, "uid", "i", static_cast<std::int32_t>(subject.uid));
    }
    if (step >= 0 && subject.pidfd >= 0) {
        step = sd_bus_message_append(call, "{sv}", "pidfd", "h", subject.pidfd);
    }
    if (step >= 0) {
        step = sd_bus_message_close_container(call);
    }
    if (step >= 0) {
        step = sd_bus_message_close_container(call);
    }
    return step;
}

int appendDetails(sd_bus_message* call, const Details& details) {
    int step = sd_bus_message_open_container(call, 'a', "{ss}");
    for (const auto& [key, value] : details) {
        if (step >= 0) {
            step = sd_bus_message_append(call, "{ss}", key.c_str(), value.c_str());
        }
    }
    if (step >= 0) {
        step = sd_bus_message_close_container(call);
    }
    return step;
}

Expected<Message, SystemError> checkCall(sd_bus* bus, const Subject& subject,
                                         std::string_view actionId, const Details& details) {
    sd_bus_message* raw = nullptr;
    int step = sd_bus_message_new_method_call(bus, &raw, authorityName, authorityPath,
                                              authorityInterface, "CheckAuthorization");
    Message call(raw);
    if (step >= 0) {
        step = appendSubject(raw, subject);
    }
    if (step >= 0) {
        step = sd_bus_message_append(raw, "s", std::string(actionId).c_str());
    }
    if (step >= 0) {
        step = appendDetails(raw, details);
    }
    if (step >= 0) {
        step = sd_bus_message_append(raw, "us", allowUserInteraction, cancellationId);
    }
    if (step < 0) {
        return busFailure(step, "CheckAuthorization", "request");
    }
    return call;
}

// (is_authorized, is_challenge, details): dismissed when the details say so.
Expected<Verdict, SystemError> verdictOf(sd_bus_message* reply) {
    int authorized = 0;
    int challenge = 0;
    bool dismissed = false;
    int step = sd_bus_message_enter_container(reply, 'r', "bba{ss}");
    if (step >= 0) {
        step = sd_bus_message_read(reply, "bb", &authorized, &challenge);
    }
    if (step >= 0) {
        step = sd_bus_message_enter_container(reply, 'a', "{ss}");
    }
    const char* key = nullptr;
    const char* value = nullptr;
    while (step >= 0 && (step = sd_bus_message_read(reply, "{ss}", &key, &value)) > 0) {
        dismissed = dismissed || (std::string_view(key) == "polkit.dismissed" &&
                                  std::string_view(value) == "true");
    }
    if (step < 0) {
        return busFailure(step, "CheckAuthorization", "reply");
    }
    if (authorized != 0) {
        return Verdict::authorized;
    }
    return dismissed ? Verdict::dismissed : Verdict::notAuthorized;
}

// The authority would otherwise keep the user's dialog open for an answer nobody awaits.
void cancelCheck(sd_bus* bus) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, authorityName, authorityPath, authorityInterface,
                                       "CancelCheckAuthorization") < 0) {
        return;
    }
    const Message call(raw);
    sd_bus_message* reply = nullptr;
    BusError error;
    if (sd_bus_message_append(raw, "s", cancellationId) >= 0) {
        static_cast<void>(
            sd_bus_call(bus, raw, microseconds(cancellationDeadline), error.get(), &reply));
    }
    const Message ignored(reply);
}

}  // namespace

Presence presence() {
    auto bus = connectSystemBus();
    if (!bus) {
        return Presence::noSystemBus;
    }
    static_cast<void>(sd_bus_set_method_call_timeout(bus->get(), microseconds(probeDeadline)));
    return nameIsOwned(bus->get()) || nameIsActivatable(bus->get()) ? Presence::present
                                                                    : Presence::notInstalled;
}

Expected<Verdict, SystemError> checkAuthorization(const Subject& subject, std::string_view actionId,
                                                  const Details& details,
                                                  std::chrono::milliseconds deadline) {
    auto bus = connectSystemBus();
    if (!bus) {
        return Unexpected(std::move(bus).error());
    }
    auto call = checkCall(bus->get(), subject, actionId, details);
    if (!call) {
        return Unexpected(std::move(call).error());
    }
    BusError error;
    sd_bus_message* rawReply = nullptr;
    const int called =
        sd_bus_call(bus->get(), call->get(), microseconds(deadline), error.get(), &rawReply);
    const Message reply(rawReply);
    if (called == -ETIMEDOUT) {
        cancelCheck(bus->get());
        return Verdict::timedOut;
    }
    if (called < 0) {
        return busFailure(called, "CheckAuthorization", error.name());
    }
    return verdictOf(reply.get());
}

}  // namespace tavelin::polkit
