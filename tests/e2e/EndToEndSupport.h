#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientProcess.h"
#include "DaemonProcess.h"

namespace tavelin::e2e {

inline constexpr const char* daemonPath = TAVELIN_DAEMON_PATH;
inline constexpr const char* tavelinctlPath = TAVELINCTL_PATH;
inline constexpr const char* peerPath = TAVELIN_E2E_PEER_PATH;
inline constexpr const char* developmentIdentityDirectory = TAVELIN_DEVELOPMENT_IDENTITY_DIR;

inline constexpr const char* refusalReasonLine =
    "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.";
[[nodiscard]] std::string refusalLine(pid_t pid);

// "de.morvane.Tavelin.helper.test.<pid>.<n>": a name no other test uses.
[[nodiscard]] std::string uniqueServiceName();

// Starts the real daemon on a name of its own for every test.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    // The signed tavelinctl against this test's daemon.
    [[nodiscard]] ClientOutcome tavelinctl(const std::vector<std::string>& arguments) const;
    // The log lines written after the first `count` lines.
    [[nodiscard]] std::vector<std::string> linesAfter(std::size_t count) const;

    std::unique_ptr<DaemonProcess> daemonProcess;
};

// A fresh folder below /Library/Caches (the daemon acts only below the allowed folders).
// Creates /Library and /Library/Caches when missing and removes, when destroyed, exactly
// what it created. Needs root; `available()` is false otherwise.
class CacheSandbox {
public:
    CacheSandbox();
    CacheSandbox(const CacheSandbox&) = delete;
    CacheSandbox& operator=(const CacheSandbox&) = delete;
    ~CacheSandbox();

    [[nodiscard]] bool available() const noexcept { return !path_.empty(); }
    [[nodiscard]] std::string item(const std::string& name) const { return path_ + "/" + name; }

private:
    std::vector<std::string> createdAncestors_;
    std::string path_;
};

// Writes `size` bytes into a new file.
void writeFile(const std::string& path, std::size_t size);

}  // namespace tavelin::e2e
