// Who may ask: the real daemon asks a real polkitd on a system bus of the test's own for
// every operation, for the admitted client's process. Clients run as root and as uid 65534;
// what a rule refuses is left untouched and answered "Nicht autorisiert".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/AuthorityStandIn.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* removeAction = "de.morvane.tavelin.remove-system-paths";
constexpr const char* repairAction = "de.morvane.tavelin.repair-permissions";
constexpr const char* updateAction = "de.morvane.tavelin.install-system-updates";

// tavelinctl as `uid` (0 or 65534) against `daemon`.
ClientOutcome tavelinctlAs(uid_t uid, const DaemonProcess& daemon,
                           const std::vector<std::string>& arguments) {
    if (uid == 0) {
        return runClient(tavelinctlPath, arguments, daemon.serviceName());
    }
    std::vector<std::string> command = {"--reuid=65534",
                                        "--regid=65534",
                                        "--clear-groups",
                                        "/usr/bin/env",
                                        "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
                                        tavelinctlPath};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runClient("/usr/bin/setpriv", command, daemon.serviceName());
}

std::string refusedLine(const char* action, uid_t uid, pid_t pid) {
    return std::string("[TavelinHelper] Nicht autorisiert: ") + action +
           " (uid=" + std::to_string(uid) + ", pid=" + std::to_string(pid) + ")";
}

bool logged(const DaemonProcess& daemon, const std::string& line) {
    const auto lines = daemon.waitForLines([&](const std::string& each) { return each == line; });
    return !lines.empty();
}

// Items below the cache sandbox: files to remove, 0700 files to repair.
class Items {
  public:
    Items() { fs::permissions(sandbox_.item(""), fs::perms(0755)); }
    [[nodiscard]] bool available() const { return sandbox_.available(); }
    std::string file(const std::string& name) const {
        const std::string path = sandbox_.item(name);
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path, 10);
        ::chmod(path.c_str(), 0700);
        return path;
    }
    std::string folder() const { return fs::path(sandbox_.item("")).parent_path(); }

  private:
    CacheSandbox sandbox_;
};

struct Attempt {
    const char* name;
    uid_t uid;
    enum { remove, repair, update } operation;
    const char* item;  // below the sandbox; none for update
    bool authorized;
};

struct RuleCase {
    const char* name;
    const char* rule;  // JavaScript, "@" standing for the sandbox folder; none: defaults
    std::vector<Attempt> attempts;
};

const char* const denyRemovalToNobody = R"(
polkit.addRule(function(action, subject) {
    if (action.id == "de.morvane.tavelin.remove-system-paths" && subject.user == "nobody")
        return polkit.Result.NO;
});)";

// Repairs only below @/open/, removals of nothing below @/kept/, whoever asks.
const char* const byPathDetails = R"(
polkit.addRule(function(action, subject) {
    if (action.id == "de.morvane.tavelin.repair-permissions")
        return action.lookup("path").indexOf("@/open/") == 0 ? polkit.Result.YES
                                                             : polkit.Result.NO;
    if (action.id == "de.morvane.tavelin.remove-system-paths") {
        var paths = JSON.parse(action.lookup("paths"));
        for (var i = 0; i < paths.length; i++)
            if (paths[i].indexOf("@/kept/") == 0) return polkit.Result.NO;
    }
});)";

std::string withFolder(std::string text, const std::string& folder) {
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, folder);
        at += folder.size();
    }
    return text;
}

// The command of what answers the daemon's checks; empty: nothing does.
using Authority = std::vector<std::string>;

// A case's world, items and daemon.
struct Scene {
    std::unique_ptr<PolkitWorld> world;
    std::unique_ptr<Items> items;
    std::unique_ptr<DaemonProcess> daemon;
};

// Enters a world with `bus` and `authority` (for polkitd, `rule`, "@" the items' folder;
// empty: the defaults; and after it, when `everyoneMay`, the documented rule that serves
// every account), and starts the daemon in it. Returns why the test must be skipped,
// else ""; a failure on the way is reported and leaves no daemon.
std::string enterScene(Scene& scene, PolkitWorld::Bus bus, const Authority& authority,
                       const std::string& rule = {}, bool everyoneMay = false) {
    std::string whyNot;
    scene.daemon.reset();
    scene.world = PolkitWorld::enter(bus, whyNot);
    if (!scene.world) {
        return whyNot;
    }
    scene.items = std::make_unique<Items>();
    if (!scene.items->available()) {
        ADD_FAILURE() << "no cache sandbox";
        return {};
    }
    if (!rule.empty()) {
        scene.world->addRule("10-test.rules", withFolder(rule, scene.items->folder()));
    }
    if (everyoneMay) {
        std::ifstream everyone(TAVELIN_POLKIT_EVERYONE_RULE);
        scene.world->addRule("70-everyone.rules", {std::istreambuf_iterator<char>(everyone),
                                                   std::istreambuf_iterator<char>()});
    }
    if (!authority.empty()) {
        if (const std::string failed = scene.world->startAuthority(authority); !failed.empty()) {
            ADD_FAILURE() << failed;
            return {};
        }
    }
    scene.daemon = DaemonProcess::start(uniqueServiceName(), whyNot);
    if (!scene.daemon) {
        ADD_FAILURE() << whyNot;
    }
    return {};
}

// What an attempt should leave: removed, repaired, or (refused) as it was.
void expectEffect(const Attempt& attempt, const std::string& item, const ClientOutcome& outcome) {
    const bool done = attempt.authorized;
    switch (attempt.operation) {
        case Attempt::remove:
            EXPECT_EQ(fs::exists(item), !done) << outcome.output;
            break;
        case Attempt::repair:
            EXPECT_EQ(modeOf(item), done ? 0755 : 0700) << outcome.output;
            break;
        case Attempt::update:
            break;  // no update tool here: only the answer tells
    }
    const bool refused = outcome.output.find("Nicht autorisiert") != std::string::npos;
    EXPECT_EQ(refused, !done) << outcome.output;
    if (!done) {
        EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
        EXPECT_NE(outcome.output.find("tavelinctl: not authorised"), std::string::npos)
            << outcome.output;
    }
}

TEST(AuthorizationTest, PolkitRulesDecideWhichUserMayHaveWhatDone) {
    const std::vector<RuleCase> cases = {
        // Outside any session, as the test's clients are, the defaults want an
        // administrator's password, which nobody can give here.
        {"the actions' defaults serve root, and nobody outside a session",
         nullptr,
         {{"nobody removes", 65534, Attempt::remove, "a", false},
          {"nobody repairs", 65534, Attempt::repair, "b", false},
          {"nobody updates", 65534, Attempt::update, nullptr, false},
          {"root removes", 0, Attempt::remove, "c", true},
          {"root repairs", 0, Attempt::repair, "d", true},
          {"root updates", 0, Attempt::update, nullptr, true}}},
        {"a rule denies removals to nobody",
         denyRemovalToNobody,
         {{"nobody removes", 65534, Attempt::remove, "a", false},
          {"nobody still repairs", 65534, Attempt::repair, "b", true},
          {"root still removes", 0, Attempt::remove, "c", true}}},
        {"a rule reads the path details",
         byPathDetails,
         {{"a repair inside the open folder", 65534, Attempt::repair, "open/x", true},
          {"a repair in a look-alike folder", 65534, Attempt::repair, "open2/x", false},
          {"a repair elsewhere", 65534, Attempt::repair, "y", false},
          {"a removal elsewhere", 65534, Attempt::remove, "z", true},
          {"a removal of a kept item", 65534, Attempt::remove, "kept/z", false}}},
    };
    for (const RuleCase& ruleCase : cases) {
        SCOPED_TRACE(ruleCase.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            Scene scene;
            // A site's narrowing rule comes with the rule that serves everyone else.
            const std::string skip =
                enterScene(scene, PolkitWorld::Bus::running, PolkitWorld::polkitd,
                           ruleCase.rule != nullptr ? ruleCase.rule : "", ruleCase.rule != nullptr);
            if (!skip.empty()) {
                GTEST_SKIP() << skip;
            }
            ASSERT_NE(scene.daemon, nullptr);
            const Items& items = *scene.items;
            const DaemonProcess* daemon = scene.daemon.get();
            for (const Attempt& attempt : ruleCase.attempts) {
                SCOPED_TRACE(attempt.name);
                const std::string item = attempt.item != nullptr ? items.file(attempt.item) : "";
                const ClientOutcome outcome =
                    attempt.operation == Attempt::update
                        ? tavelinctlAs(attempt.uid, *daemon, {"update"})
                    : attempt.operation == Attempt::remove
                        ? tavelinctlAs(attempt.uid, *daemon, {"remove", item})
                        : tavelinctlAs(attempt.uid, *daemon, {"repair", item});
                expectEffect(attempt, item, outcome);
                if (!attempt.authorized) {
                    const char* action = attempt.operation == Attempt::remove   ? removeAction
                                         : attempt.operation == Attempt::repair ? repairAction
                                                                                : updateAction;
                    EXPECT_TRUE(logged(*daemon, refusedLine(action, attempt.uid, outcome.pid)));
                }
            }
        }();
    }
}

// A rule that wants the user's own password: tavelinctl on a terminal (script(1)) starts
// polkit's text agent for itself, which asks. While it waits for the password, which the
// test holds back in a FIFO, root is served; then a wrong password is typed (nobody has
// none) and nothing is repaired. Root is served once before, so that the waiting check
// runs on the bus connection kept from that one and root's second check has to do
// without it.
TEST(AuthorizationTest, OnATerminalTheClientOffersTheTextAgentAndItsWaitHoldsNobodyElse) {
    Scene scene;
    const std::string skip = enterScene(scene, PolkitWorld::Bus::running, PolkitWorld::polkitd, R"(
polkit.addRule(function(action, subject) {
    if (action.id == "de.morvane.tavelin.repair-permissions" && subject.user == "nobody")
        return polkit.Result.AUTH_SELF;
});)");
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
    ASSERT_NE(scene.daemon, nullptr);
    const auto& daemon = scene.daemon;
    const Items& items = *scene.items;
    const ScratchDirectory scratch;
    fs::permissions(scratch.file(""), fs::perms(0755));
    const std::string keyboard = scratch.file("keyboard");
    ASSERT_EQ(::mkfifo(keyboard.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(keyboard.c_str(), 0666), 0);
    UniqueFd typing(::open(keyboard.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(typing);

    const std::string first = items.file("first");
    EXPECT_EQ(tavelinctlAs(0, *daemon, {"repair", first}).exitStatus, 0);
    const std::string item = items.file("x");
    ChildWithOutput waiting =
        startClient("/usr/bin/setpriv",
                    {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env",
                     "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0", "/bin/sh", "-c",
                     "exec /usr/bin/script -qec '" + std::string(tavelinctlPath) + " repair " +
                         item + "' /dev/null < " + keyboard},
                    daemon->serviceName());
    const std::string audit = "[TavelinHelper] perform: Rechte reparieren: " + item;
    ASSERT_FALSE(
        daemon->waitForLines([&](const std::string& line) { return line == audit; }).empty());

    const std::string rootsItem = items.file("root");
    EXPECT_EQ(tavelinctlAs(0, *daemon, {"repair", rootsItem}).exitStatus, 0);
    EXPECT_EQ(modeOf(rootsItem), 0755);
    EXPECT_FALSE(waiting.child.awaitEnd(std::chrono::steady_clock::now()).value_or(true))
        << "the password was not even asked for yet";
    // Nor had the daemon given up on it before serving root: the log up to root's next
    // request, which comes after all that root's first one waited for, says so.
    const std::string marker = items.file("marker");
    EXPECT_EQ(tavelinctlAs(0, *daemon, {"repair", marker}).exitStatus, 0);
    ASSERT_FALSE(daemon
                     ->waitForLines([&](const std::string& line) {
                         return line == "[TavelinHelper] perform: Rechte reparieren: " + marker;
                     })
                     .empty());
    const std::string nobodyRefused =
        "[TavelinHelper] Nicht autorisiert: " + std::string(repairAction) + " (uid=65534";
    for (const std::string& line : daemon->lines()) {
        EXPECT_NE(line.rfind(nobodyRefused, 0), 0U) << "root waited for the held check";
    }

    ASSERT_EQ(::write(typing.get(), "wrong\n", 6), 6);
    typing.reset();
    const ClientOutcome outcome = finishClient(waiting);
    EXPECT_NE(outcome.output.find("AUTHENTICATING FOR " + std::string(repairAction)),
              std::string::npos)
        << outcome.output;
    EXPECT_NE(outcome.output.find("tavelinctl: not authorised"), std::string::npos)
        << outcome.output;
    EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
    EXPECT_EQ(modeOf(item), 0700);
}

TEST(AuthorizationTest, AnAuthorityThatStopsAnsweringRefusesEveryOperation) {
    Scene scene;
    if (const std::string skip =
            enterScene(scene, PolkitWorld::Bus::running, PolkitWorld::polkitd, {}, true);
        !skip.empty()) {
        GTEST_SKIP() << skip;
    }
    ASSERT_NE(scene.daemon, nullptr);
    const auto& daemon = scene.daemon;
    const Items& items = *scene.items;
    PolkitWorld& world = *scene.world;
    const std::string before = items.file("before");
    EXPECT_EQ(tavelinctlAs(65534, *daemon, {"repair", before}).exitStatus, 0);
    EXPECT_EQ(modeOf(before), 0755);

    world.stopPolkitd();
    for (const uid_t uid : {uid_t{65534}, uid_t{0}}) {
        const std::string after = items.file("after" + std::to_string(uid));
        const ClientOutcome outcome = tavelinctlAs(uid, *daemon, {"repair", after});
        EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
        EXPECT_NE(outcome.output.find("Nicht autorisiert"), std::string::npos) << outcome.output;
        EXPECT_EQ(modeOf(after), 0700);
        const std::string prefix =
            "[TavelinHelper] Autorisierung nicht pr\u00fcfbar: " + std::string(repairAction) +
            " (uid=" + std::to_string(uid) + ", pid=" + std::to_string(outcome.pid) + "): ";
        EXPECT_FALSE(
            daemon
                ->waitForLines([&](const std::string& line) { return line.rfind(prefix, 0) == 0; })
                .empty());
    }
}

// Only "authorised" is a yes: an answer that an authentication could make it one (a
// challenge) is a no all the same.
TEST(AuthorizationTest, OnlyAnAuthorizedAnswerServesTheRequest) {
    const struct {
        const char* name;
        bool authorized;
        bool challenge;
    } cases[] = {
        {"authorised", true, false},
        {"not authorised, but a challenge would be possible", false, true},
    };
    for (const auto& [name, authorized, challenge] : cases) {
        SCOPED_TRACE(name);
        [&] {
            Scene scene;
            const std::string skip = enterScene(scene, PolkitWorld::Bus::running,
                                                authorityStandIn(authorized, challenge));
            if (!skip.empty()) {
                GTEST_SKIP() << skip;
            }
            ASSERT_NE(scene.daemon, nullptr);
            const std::string item = scene.items->file("x");
            const Attempt attempt{name, 65534, Attempt::repair, "x", authorized};
            expectEffect(attempt, item, tavelinctlAs(65534, *scene.daemon, {"repair", item}));
        }();
    }
}

TEST(AuthorizationTest, WithoutPolkitEveryAdmittedClientIsServedAndTheStartSaysSo) {
    const struct {
        PolkitWorld::Bus bus;
        const char* startLine;
    } cases[] = {
        {PolkitWorld::Bus::none, "[TavelinHelper] Autorisierung aus: kein Systembus"},
        {PolkitWorld::Bus::running, "[TavelinHelper] Autorisierung aus: polkit nicht installiert"},
    };
    for (const auto& [bus, startLine] : cases) {
        SCOPED_TRACE(startLine);
        [&] {
            Scene scene;
            if (const std::string skip = enterScene(scene, bus, {}); !skip.empty()) {
                GTEST_SKIP() << skip;
            }
            ASSERT_NE(scene.daemon, nullptr);
            const auto& daemon = scene.daemon;
            const Items& items = *scene.items;
            const auto lines = daemon->lines();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), startLine), 1);
            const std::string item = items.file("x");
            const ClientOutcome outcome = tavelinctlAs(65534, *daemon, {"repair", item});
            EXPECT_EQ(outcome.exitStatus, 0) << outcome.output;
            EXPECT_EQ(modeOf(item), 0755);
        }();
    }
}

}  // namespace
}  // namespace tavelin::e2e
