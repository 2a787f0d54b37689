#include "tests/e2e/PolkitWorld.h"

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "TavelinPlatform/authority/Polkit.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin::e2e {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* busSocket = "/run/dbus/system_bus_socket";
constexpr const char* rulesFolder = "/etc/polkit-1/rules.d";
constexpr auto startDeadline = 10s;

std::string emptyTmpfsOver(const std::string& path) {
    std::error_code ignored;
    fs::create_directories(path, ignored);
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        return "mount tmpfs on " + path + ": " + std::strerror(errno);
    }
    return {};
}

bool busAnswers() {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, busSocket, sizeof address.sun_path - 1);
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

template <typename Condition>
bool waitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + startDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string privateMounts() {
    if (::unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare: ") + std::strerror(errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("mount private: ") + std::strerror(errno);
    }
    for (const char* folder : {"/run/dbus", "/usr/share/polkit-1/actions", rulesFolder,
                               "/usr/share/dbus-1/system-services"}) {
        if (std::string failed = emptyTmpfsOver(folder); !failed.empty()) {
            return failed;
        }
    }
    fs::copy_file(TAVELIN_POLKIT_POLICY, "/usr/share/polkit-1/actions/de.morvane.tavelin.policy");
    // polkitd reads its rules as its own account.
    const passwd* account = ::getpwnam("polkitd");
    if (account == nullptr || ::chown(rulesFolder, account->pw_uid, 0) != 0 ||
        ::chmod(rulesFolder, 0700) != 0) {
        return "no polkitd account to own the rules";
    }
    return {};
}

}  // namespace

std::unique_ptr<PolkitWorld> PolkitWorld::enter(Bus bus, std::string& whyNot) {
    if (::geteuid() != 0) {
        whyNot = "needs root for a mount namespace";
        return nullptr;
    }
    if (!fs::exists("/usr/bin/dbus-daemon") || !fs::exists(polkitd.front())) {
        whyNot = "dbus-daemon or polkitd is not installed";
        return nullptr;
    }
    whyNot = privateMounts();
    if (!whyNot.empty()) {
        return nullptr;
    }
    std::unique_ptr<PolkitWorld> world(new PolkitWorld());
    if (bus == Bus::none) {
        return world;
    }
    whyNot = world->startBus();
    return whyNot.empty() ? std::move(world) : nullptr;
}

std::string PolkitWorld::startBus() {
    auto started = spawnWithCombinedOutput("/usr/bin/dbus-daemon",
                                           {"--system", "--nofork", "--nopidfile", "--nosyslog"});
    if (!started) {
        return started.error().describe();
    }
    bus_.emplace(std::move(started).value());
    if (!waitUntil(busAnswers)) {
        return "the system bus did not come up";
    }
    return {};
}

std::string PolkitWorld::restartBus() {
    stopPolkitd();
    if (bus_) {
        bus_->child.kill();
        static_cast<void>(bus_->child.wait());
        bus_.reset();
    }
    return startBus();
}

void PolkitWorld::addRule(const std::string& name, const std::string& javascript) const {
    const std::string path = std::string(rulesFolder) + "/" + name;
    std::ofstream(path) << javascript;
    ::chmod(path.c_str(), 0644);
}

std::string PolkitWorld::startAuthority(const std::vector<std::string>& command) {
    auto started = spawnWithCombinedOutput(command.front(), {command.begin() + 1, command.end()});
    if (!started) {
        return started.error().describe();
    }
    polkitd_.emplace(std::move(started).value());
    if (!waitUntil([] { return polkit::presence() == polkit::Presence::present; })) {
        return command.front() + " did not take the authority's bus name";
    }
    return {};
}

void PolkitWorld::stopPolkitd() {
    if (polkitd_) {
        polkitd_->child.kill();
        static_cast<void>(polkitd_->child.wait());
        polkitd_.reset();
    }
}

}  // namespace tavelin::e2e
