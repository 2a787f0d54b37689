// tavelin_authority_stand_in AUTHORIZED CHALLENGE: owns the authority's name on the system
// bus and answers every CheckAuthorization with (AUTHORIZED, CHALLENGE, {}), each "true" or
// "false", whoever asks for whatever. Answers that polkitd gives only in states a test cannot
// bring about, such as "not authorised, but a challenge would be possible", come from here.
// Runs until killed.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

struct Answer {
    int authorized = 0;
    int challenge = 0;
};

int checkAuthorization(sd_bus_message* call, void* userdata, sd_bus_error* /*error*/) {
    const auto* answer = static_cast<const Answer*>(userdata);
    return sd_bus_reply_method_return(call, "(bba{ss})", answer->authorized, answer->challenge, 0U);
}

int cancelCheck(sd_bus_message* call, void* /*userdata*/, sd_bus_error* /*error*/) {
    return sd_bus_reply_method_return(call, "");
}

// NOLINTBEGIN(cppcoreguidelines-avoid-c-arrays): sd-bus's vtable macros
const sd_bus_vtable authorityVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", checkAuthorization,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CancelCheckAuthorization", "s", "", cancelCheck, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
// NOLINTEND(cppcoreguidelines-avoid-c-arrays)

bool parseFlag(std::string_view text, int& flag) {
    flag = text == "true" ? 1 : 0;
    return text == "true" || text == "false";
}

int fail(const char* step, int result) {
    std::fprintf(stderr, "authority stand-in: %s: %s\n", step, std::strerror(-result));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Answer answer;
    if (argc != 3 || !parseFlag(argv[1], answer.authorized) ||
        !parseFlag(argv[2], answer.challenge)) {
        std::fprintf(stderr, "usage: %s true|false true|false\n", argv[0]);
        return 64;
    }
    sd_bus* bus = nullptr;
    int step = sd_bus_open_system(&bus);
    if (step < 0) {
        return fail("system bus", step);
    }
    step =
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/PolicyKit1/Authority",
                                 "org.freedesktop.PolicyKit1.Authority", authorityVtable, &answer);
    if (step < 0) {
        return fail("object", step);
    }
    // Owned only once the object answers: the test waits for the name.
    step = sd_bus_request_name(bus, "org.freedesktop.PolicyKit1", 0);
    if (step < 0) {
        return fail("name", step);
    }
    while ((step = sd_bus_process(bus, nullptr)) >= 0) {
        if (step == 0 && (step = sd_bus_wait(bus, UINT64_MAX)) < 0) {
            break;
        }
    }
    return fail("serving", step);
}
