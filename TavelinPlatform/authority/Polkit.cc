#include "TavelinPlatform/authority/Polkit.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "TavelinPlatform/authority/BusHandles.h"

namespace tavelin::polkit {

namespace {

constexpr const char* authorityName = "org.freedesktop.PolicyKit1";
constexpr const char* authorityPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* authorityInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t allowUserInteraction = 1;
constexpr std::chrono::seconds cancellationDeadline{1};
constexpr std::chrono::seconds probeDeadline{5};

using Clock = std::chrono::steady_clock;

using sdbus::BusError;
using sdbus::Message;

std::uint64_t microseconds(std::chrono::milliseconds duration) {
    return static_cast<std::uint64_t>(duration.count()) * 1000;
}

// A sd-bus return value: negative errno on failure.
Unexpected<SystemError> busFailure(int result, std::string_view call, std::string_view what = {}) {
    return systemError(-result, call, what);
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
                                         std::string_view actionId, const Details& details,
                                         const std::string& cancellationId) {
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
        step = sd_bus_message_append(raw, "us", allowUserInteraction, cancellationId.c_str());
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
// True once it confirmed the cancel.
bool cancelCheck(sd_bus* bus, const std::string& cancellationId) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, authorityName, authorityPath, authorityInterface,
                                       "CancelCheckAuthorization") < 0) {
        return false;
    }
    const Message call(raw);
    if (sd_bus_message_append(raw, "s", cancellationId.c_str()) < 0) {
        return false;
    }
    sd_bus_message* reply = nullptr;
    BusError error;
    const int called =
        sd_bus_call(bus, raw, microseconds(cancellationDeadline), error.get(), &reply);
    const Message ignored(reply);
    return called >= 0;
}

// A check's outcome on one connection, and whether that connection may serve another:
// only when the check got its answer, or was cancelled in time, is nothing of it left
// on the connection.
struct Asked {
    Expected<Verdict, SystemError> verdict;
    bool connectionReusable = false;
};

Asked askOn(SystemBusConnection& connection, const Subject& subject, std::string_view actionId,
            const Details& details, std::chrono::milliseconds deadline) {
    const std::string cancellationId = connection.nextCancellationId();
    auto call = checkCall(connection.get(), subject, actionId, details, cancellationId);
    if (!call) {
        return {Unexpected(std::move(call).error())};
    }
    BusError error;
    sd_bus_message* rawReply = nullptr;
    const int called =
        sd_bus_call(connection.get(), call->get(), microseconds(deadline), error.get(), &rawReply);
    const Message reply(rawReply);
    if (called == -ETIMEDOUT) {
        return {Verdict::timedOut, cancelCheck(connection.get(), cancellationId)};
    }
    if (called < 0) {
        return {busFailure(called, "CheckAuthorization", error.name())};
    }
    auto verdict = verdictOf(reply.get());
    const bool answered = verdict.has_value();
    return {std::move(verdict), answered};
}

// The connection was gone before the check had an answer: the bus closed it while it was
// kept (a restart), which shows when the check is sent, or while the check waited.
bool connectionLost(const Asked& asked) {
    if (asked.verdict) {
        return false;
    }
    switch (asked.verdict.error().errorNumber) {
        case ECONNRESET:
        case ENOTCONN:
        case EPIPE:
        case ESHUTDOWN:
        case ECONNABORTED:
            return true;
        default:
            return false;
    }
}

Expected<Verdict, SystemError> finish(SystemBusPool& buses, SystemBusConnection connection,
                                      Asked asked) {
    if (asked.connectionReusable) {
        buses.giveBack(std::move(connection));
    }
    return std::move(asked.verdict);
}

// sd-bus reads a timeout of 0 as its default (25 s): at least 1 ms.
std::chrono::milliseconds remainingUntil(Clock::time_point end) {
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
}

}  // namespace

Presence presence() {
    auto bus = SystemBusConnection::open();
    if (!bus) {
        return Presence::noSystemBus;
    }
    static_cast<void>(sd_bus_set_method_call_timeout(bus->get(), microseconds(probeDeadline)));
    return nameIsOwned(bus->get()) || nameIsActivatable(bus->get()) ? Presence::present
                                                                    : Presence::notInstalled;
}

Expected<Verdict, SystemError> checkAuthorization(SystemBusPool& buses, const Subject& subject,
                                                  std::string_view actionId, const Details& details,
                                                  std::chrono::milliseconds deadline) {
    const Clock::time_point end = Clock::now() + deadline;
    if (auto kept = buses.takeIdle()) {
        Asked asked = askOn(*kept, subject, actionId, details, deadline);
        if (!connectionLost(asked)) {
            return finish(buses, std::move(*kept), std::move(asked));
        }
        // A restarted bus costs no refusal: one more try, on a new connection.
    }
    auto fresh = SystemBusConnection::open();
    if (!fresh) {
        return Unexpected(std::move(fresh).error());
    }
    Asked asked = askOn(*fresh, subject, actionId, details, remainingUntil(end));
    return finish(buses, std::move(fresh).value(), std::move(asked));
}

}  // namespace tavelin::polkit
