// tavelin_authority_stand_in AUTHORIZED CHALLENGE [GATHER RECORD]: owns the authority's name
// on the system bus and answers every CheckAuthorization with (AUTHORIZED, CHALLENGE, {}),
// each "true" or "false", whoever asks for whatever. Answers that polkitd gives only in
// states a test cannot bring about, such as "not authorised, but a challenge would be
// possible", come from here.
// With GATHER and RECORD it holds the checks until GATHER of them wait and then answers them
// together, so that checks which wait for each other never gather; and it appends a line
// "<sender> <cancellation id>" to the file RECORD for each check as it arrives.
// Runs until killed.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

struct Answer {
    int authorized = 0;
    int challenge = 0;
};

struct Authority {
    Answer answer;
    std::size_t gather = 1;
    const char* record = nullptr;
    std::vector<sd_bus_message*> waiting;  // each holds a reference
};

void record(const char* path, sd_bus_message* call) {
    const char* cancellationId = "?";
    if (sd_bus_message_skip(call, "(sa{sv})sa{ss}u") >= 0) {
        static_cast<void>(sd_bus_message_read(call, "s", &cancellationId));
    }
    std::FILE* file = std::fopen(path, "ae");
    if (file != nullptr) {
        static_cast<void>(
            std::fprintf(file, "%s %s\n", sd_bus_message_get_sender(call), cancellationId));
        static_cast<void>(std::fclose(file));
    }
}

int checkAuthorization(sd_bus_message* call, void* userdata, sd_bus_error* /*error*/) {
    auto* authority = static_cast<Authority*>(userdata);
    if (authority->record != nullptr) {
        record(authority->record, call);
    }
    authority->waiting.push_back(sd_bus_message_ref(call));
    if (authority->waiting.size() < authority->gather) {
        return 1;  // answered later, with the rest of its group
    }
    const Answer& answer = authority->answer;
    for (sd_bus_message* waiting : authority->waiting) {
        // One whose sender has gone meanwhile is left unanswered.
        static_cast<void>(sd_bus_reply_method_return(waiting, "(bba{ss})", answer.authorized,
                                                     answer.challenge, 0U));
        sd_bus_message_unref(waiting);
    }
    authority->waiting.clear();
    return 1;
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
    static_cast<void>(
        std::fprintf(stderr, "authority stand-in: %s: %s\n", step, std::strerror(-result)));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Authority authority;
    if ((argc != 3 && argc != 5) || !parseFlag(argv[1], authority.answer.authorized) ||
        !parseFlag(argv[2], authority.answer.challenge)) {
        static_cast<void>(
            std::fprintf(stderr, "usage: %s true|false true|false [GATHER RECORD]\n", argv[0]));
        return 64;
    }
    if (argc == 5) {
        authority.gather = std::strtoul(argv[3], nullptr, 10);
        authority.record = argv[4];
    }
    sd_bus* bus = nullptr;
    int step = sd_bus_open_system(&bus);
    if (step < 0) {
        return fail("system bus", step);
    }
    step = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/PolicyKit1/Authority",
                                    "org.freedesktop.PolicyKit1.Authority", authorityVtable,
                                    &authority);
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
