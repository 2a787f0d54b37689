#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TavelinShared/PrivilegedPathPolicy.h"
#include "TavelinShared/tests/PathPolicyTable.h"

// The linux layout's tables. The algorithm is the reference layout's
// (PrivilegedPathPolicyTests.cc); these rows hold the host's folders to docs/path-layouts.md.
namespace tavelin {
namespace {

using namespace std::string_literals;
using testing::expectVerdicts;
using testing::PolicyRow;

TEST(LinuxPathLayoutTests, RemovesBelowTheHostsCacheLogTemporaryAndCrashFolders) {
    ASSERT_EQ(PathLayout::name, "linux");
    const std::vector<PolicyRow> cases = {
        // Each allowed folder: itself refused however spelled, anything below it admitted.
        {"/var/cache", "/", false},
        {"/var/cache/", "/", false},
        {"/var/cache/apt/archives/a.deb", "/", true},
        {"/var/log", "/", false},
        {"/var/log/", "/", false},
        {"/var/log/syslog.1", "/", true},
        {"/var/tmp", "/", false},
        {"/var/tmp/", "/", false},
        {"/var/tmp/x/", "/", true},
        {"/var/crash", "/", false},
        {"/var/crash/", "/", false},
        {"/var/crash/_usr_bin_x.0.crash", "/", true},
        {"/var/lib/systemd/coredump", "/", false},
        {"/var/lib/systemd/coredump/", "/", false},
        {"/var/lib/systemd/coredump/core.x.zst", "/", true},
        // The denied entries, and what lies beside the allowed folders.
        {"/", "/", false},
        {"/var", "/", false},
        {"/var/lib", "/", false},
        {"/var/lib/systemd", "/", false},
        {"/usr", "/", false},
        {"/bin", "/", false},
        {"/sbin", "/", false},
        {"/etc", "/", false},
        {"/home", "/", false},
        {"/root/", "/", false},
        {"/var/lib/dpkg/status", "/", false},
        {"/var/lib/systemd/random-seed", "/", false},
        {"/var/cachex/y", "/", false},
        {"/Library/Caches/x", "/", false},
        // Protected subtrees: the folder and everything below, however reached; not a sibling.
        {"/var/cache/debconf", "/", false},
        {"/var/cache/debconf/config.dat", "/", false},
        {"/var/cache//debconf/./passwords.dat", "/", false},
        {"/var/cache/x/../debconf/templates.dat", "/", false},
        {"config.dat", "/var/cache/debconf", false},
        {".", "/var/cache/debconf", false},
        {"/var/cache/debconf-old", "/", true},
        {"/var/cache/bind/managed-keys.bind", "/", false},
        {"/var/cache/bindx", "/", true},
        {"/var/log/journal", "/", false},
        {"/var/log/journal/0123/system.journal", "/", false},
        {"/var/log/journald.log", "/", true},
        {"/var/log/audit/", "/", false},
        {"/var/log/audit/audit.log", "/", false},
        {"/var/log/auditd", "/", true},
        {"/var/log/wtmp", "/", false},
        {"/var/log/btmp", "/", false},
        {"/var/log/lastlog", "/", false},
        {"/var/log/wtmp.1", "/", true},
        // A running service's private temporary folder, whatever its suffix.
        {"/var/tmp/systemd-private-0f3c-chrony.service-Xa9/tmp/x", "/", false},
        {"/var/tmp/x/../systemd-private-0f3c", "/", false},
        {"systemd-private-0f3c", "/var/tmp", false},
        {"/var/tmp/old-systemd-private-0f3c", "/", true},
        // ".." escapes, and ".." inside names.
        {"/var/cache/../lib/dpkg/status", "/", false},
        {"/var/log/../../etc/shadow", "/", false},
        {"/var/tmp/x/..", "/", false},
        {"/var/cache/a..b", "/", false},
        {"../../etc/passwd", "/var/cache/x", false},
        // Relative paths against the current directory.
        {"x", "/var/tmp", true},
        {".", "/var/log/apt", true},
        {"cache/man/index.db", "/var", true},
        {"../../../var/log/x", "/home/u", true},
        {"..", "/var/log/apt", false},
        {"x", "/var/lib", false},
        {"var/log/x", "relative", false},
    };
    expectVerdicts(cases, PrivilegedPathPolicy::isRemovable);
}

TEST(LinuxPathLayoutTests, RepairsBelowOpt) {
    const std::vector<PolicyRow> cases = {
        {"/opt/x", "/", true},
        {"/opt/", "/", true},
        {"/opt/app/./bin/../lib", "/", true},
        {"/var/log/x", "/", true},
        {"x", "/var/tmp", true},
        {"/opt", "/", false},
        {"/optx/y", "/", false},
        {"/opt/../optx/y", "/", false},
        {"/opt/../etc/x", "/", false},
        {"/opt/../etc/shadow\0/../../opt/x"s, "/", false},
        {"opt/x", "/", false},
        {"x", "/opt", false},
        {"/var/cache/debconf/config.dat", "/", false},
        {"/Library/x", "/", false},
    };
    expectVerdicts(cases, PrivilegedPathPolicy::isRepairable);
}

}  // namespace
}  // namespace tavelin
