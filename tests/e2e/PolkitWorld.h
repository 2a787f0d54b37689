#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin::e2e {

// A system bus and polkit of the test's own, in a private mount namespace of the test
// process (everything it starts afterwards, the daemon included, sees them): empty tmpfs
// over /run/dbus, the action folder (holding only our actions), the rules folder and the
// bus's activation folder, so that polkitd runs exactly while the test says so. The real
// system's bus, actions and rules are neither seen nor touched.
class PolkitWorld {
  public:
    enum class Bus { none, running };

    // Enters the namespace and starts the bus when asked to; nothing, with a reason in
    // `whyNot`, when that is impossible here (not root, no dbus-daemon, no polkitd).
    [[nodiscard]] static std::unique_ptr<PolkitWorld> enter(Bus bus, std::string& whyNot);
    PolkitWorld(const PolkitWorld&) = delete;
    PolkitWorld& operator=(const PolkitWorld&) = delete;
    ~PolkitWorld() = default;

    // polkitd's command as the world starts it.
    static inline const std::vector<std::string> polkitd = {"/usr/lib/polkit-1/polkitd",
                                                            "--no-debug"};

    // A rules file polkitd reads when it next starts.
    void addRule(const std::string& name, const std::string& javascript) const;
    // Starts the authority, polkitd or a stand-in that takes its bus name, and waits until
    // it owns the name: "" then, else why not.
    [[nodiscard]] std::string startAuthority(const std::vector<std::string>& command);
    [[nodiscard]] std::string startPolkitd() { return startAuthority(polkitd); }
    void stopPolkitd();
    // Ends the system bus, and the authority with it, and starts a new bus, as a restart of
    // the system's does: every connection to the old one is closed. "" once the new one
    // answers, else why not; the authority is for the caller to start again.
    [[nodiscard]] std::string restartBus();

  private:
    PolkitWorld() = default;
    [[nodiscard]] std::string startBus();

    std::optional<ChildWithOutput> bus_;
    std::optional<ChildWithOutput> polkitd_;
};

}  // namespace tavelin::e2e
