// The executables admission has verified: with real signed files, what is remembered, what
// makes a file be hashed again, the bound, and admission through them with real peers.
// What proves a hash is a read: every pread of the code under test passes the read hook,
// and a file rewritten so that its signature breaks is refused only if it was read again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TavelinHelper/front/ClientAuthorization.h"
#include "TavelinHelper/front/ClientVerification.h"
#include "TavelinHelper/front/VerifiedExecutables.h"
#include "TavelinHelper/front/tests/ReadHook.h"
#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

namespace fs = std::filesystem;
using testing::readHook;

const std::string clientIdentifier(PrivilegedHelperInfo::clientBundleIdentifier);

struct stat statusOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path << ": " << std::strerror(errno);
    return status;
}

UniqueFd openForReading(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd) << path << ": " << std::strerror(errno);
    return fd;
}

// Waits until a change made now gets a later time than `path` has: file systems with
// coarse time stamps give a change in the same clock tick the same time (the daemon's case
// is root's, see docs/code-signing.md; the test wants every change seen).
void letTheClockPass(const fs::path& path) {
    const struct stat status = statusOf(path);
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > status.st_ctim.tv_sec ||
            (now.tv_sec == status.st_ctim.tv_sec && now.tv_nsec > status.st_ctim.tv_nsec)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Counts the reads of the file `fd` has open while it lives.
class ReadCounter {
  public:
    explicit ReadCounter(int fd) {
        struct stat counted {};
        EXPECT_EQ(::fstat(fd, &counted), 0);
        readHook = [this, counted](int readFd, off_t /*offset*/) {
            struct stat read {};
            if (::fstat(readFd, &read) == 0 && read.st_dev == counted.st_dev &&
                read.st_ino == counted.st_ino) {
                ++reads_;
            }
            return false;
        };
    }
    ~ReadCounter() { readHook = nullptr; }
    ReadCounter(const ReadCounter&) = delete;
    ReadCounter& operator=(const ReadCounter&) = delete;

    // The reads since the last call.
    int take() { return std::exchange(reads_, 0); }

  private:
    int reads_ = 0;
};

// Signed copies of the test peer in a scratch folder, and the verified executables of the
// anchor and requirement they satisfy.
class SignedFiles {
  public:
    SignedFiles() : verified_(anchor_, requirement_) {}

    [[nodiscard]] fs::path make(const std::string& name,
                                const std::string& identifier = clientIdentifier) const {
        const fs::path file = scratch_.path() / name;
        testing::copyTestPeer(file);
        testing::signOrFail(file, identity_, identifier);
        return file;
    }
    [[nodiscard]] const fs::path& directory() const { return scratch_.path(); }
    [[nodiscard]] VerifiedExecutables& verified() { return verified_; }

  private:
    testing::ScratchDirectory scratch_;
    testing::TestIdentity identity_ = testing::makeIdentity();
    TrustAnchor anchor_ = identity_.trustAnchor();
    Requirement requirement_ =
        Requirement::parse(PrivilegedHelperInfo::clientCodeRequirement()).value();
    VerifiedExecutables verified_;
};

// Flips one byte of the test peer's patch area in place: same size, broken signature.
void breakInPlace(const fs::path& file) {
    auto bytes = testing::readBytes(file);
    const std::size_t offset = testing::patchAreaOffset(bytes);
    const UniqueFd out(::open(file.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(out) << std::strerror(errno);
    const auto flipped = static_cast<std::uint8_t>(bytes[offset] ^ 0x01U);
    ASSERT_EQ(::pwrite(out.get(), &flipped, 1, static_cast<off_t>(offset)), 1);
}

void setTimes(const fs::path& file, const struct stat& like) {
    const timespec times[2] = {like.st_atim, like.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << std::strerror(errno);
}

// What happens to a verified, remembered file before it is checked again.
enum class Change {
    none,
    rewrittenInPlace,           // one byte, same size: the signature breaks
    rewrittenInPlaceTimesBack,  // the same, then its modification time put back
    replacedByRename,           // a broken copy of the same size and times renamed over it
    replacedBySameBytes,        // an intact copy renamed over it
    touched,                    // its modification time set to now
    modeChanged,                // 0700 to 0500: still root's, still writable by nobody else
    hardLinked,                 // a second name: the link count changes, the content does not
};

void apply(Change change, const fs::path& file, const fs::path& directory) {
    const struct stat original = statusOf(file);
    const fs::path copy = directory / "replacement";
    switch (change) {
        case Change::none:
            break;
        case Change::rewrittenInPlace:
            breakInPlace(file);
            break;
        case Change::rewrittenInPlaceTimesBack:
            breakInPlace(file);
            setTimes(file, original);
            break;
        case Change::replacedByRename:
        case Change::replacedBySameBytes:
            fs::copy_file(file, copy);
            if (change == Change::replacedByRename) {
                breakInPlace(copy);
            }
            fs::permissions(copy, fs::perms::owner_all);
            setTimes(copy, original);
            fs::rename(copy, file);
            break;
        case Change::touched:
            ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), nullptr, 0), 0);
            break;
        case Change::modeChanged:
            fs::permissions(file, fs::perms::owner_read | fs::perms::owner_exec);
            break;
        case Change::hardLinked:
            fs::create_hard_link(file, directory / "second-name");
            break;
    }
}

TEST(VerifiedExecutablesTest, AVerifiedFileIsAnsweredAndAChangedOneHashedAgain) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only files of root are remembered";
    }
    const struct {
        const char* name;
        Change change;
        bool hit;  // answered without reading the file
        CodeCheckResult result;
    } cases[] = {
        {"unchanged", Change::none, true, CodeCheckResult::satisfied},
        {"rewritten in place, same size", Change::rewrittenInPlace, false,
         CodeCheckResult::invalid},
        {"rewritten in place, same size and modification time", Change::rewrittenInPlaceTimesBack,
         false, CodeCheckResult::invalid},
        {"replaced by rename, same size and times", Change::replacedByRename, false,
         CodeCheckResult::invalid},
        {"replaced by rename with the same bytes", Change::replacedBySameBytes, false,
         CodeCheckResult::satisfied},
        {"touched", Change::touched, false, CodeCheckResult::satisfied},
        {"mode changed", Change::modeChanged, false, CodeCheckResult::satisfied},
        {"hard link added", Change::hardLinked, false, CodeCheckResult::satisfied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SignedFiles files;
        const fs::path file = files.make("Tavelin");
        VerifiedExecutables& verified = files.verified();
        const UniqueFd first = openForReading(file);
        ReadCounter reads(first.get());
        EXPECT_EQ(verified.check(first.get()).result, CodeCheckResult::satisfied);
        EXPECT_GT(reads.take(), 0);
        EXPECT_EQ(verified.check(first.get()).result, CodeCheckResult::satisfied);
        EXPECT_EQ(reads.take(), 0) << "a verified file is read again";
        EXPECT_EQ(verified.hits(), 1U);

        const struct stat before = statusOf(file);
        letTheClockPass(file);
        apply(c.change, file, files.directory());
        const struct stat after = statusOf(file);
        if (c.change == Change::rewrittenInPlaceTimesBack) {
            // Only the change time tells.
            ASSERT_EQ(after.st_ino, before.st_ino);
            ASSERT_EQ(after.st_size, before.st_size);
            ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
            ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        }
        const UniqueFd again = openForReading(file);
        ReadCounter readsAgain(again.get());
        const CodeCheck check = verified.check(again.get());
        EXPECT_EQ(check.result, c.result);
        if (c.result == CodeCheckResult::invalid) {
            EXPECT_EQ(check.fault, CodeFault::altered);
        }
        EXPECT_EQ(readsAgain.take() == 0, c.hit);
        EXPECT_EQ(verified.hits(), c.hit ? 2U : 1U);
    }
}

// What is never remembered: files others could write, checks that did not satisfy, and a
// file written while it was hashed.
TEST(VerifiedExecutablesTest, RemembersOnlySatisfiedFilesOfRootThatNobodyElseMayWrite) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only files of root are remembered";
    }
    enum class Kind {
        groupWritable,
        othersWritable,
        ownedByAnotherUser,  // the developer of a development build, say
        unsignedFile,
        otherIdentifier,
        touchedWhileHashed,
    };
    const struct {
        const char* name;
        Kind kind;
        CodeCheckResult result;
    } cases[] = {
        {"writable by its group", Kind::groupWritable, CodeCheckResult::satisfied},
        {"writable by others", Kind::othersWritable, CodeCheckResult::satisfied},
        {"owned by another user", Kind::ownedByAnotherUser, CodeCheckResult::satisfied},
        {"unsigned", Kind::unsignedFile, CodeCheckResult::invalid},
        {"requirement not met", Kind::otherIdentifier, CodeCheckResult::notSatisfied},
        {"touched while hashed", Kind::touchedWhileHashed, CodeCheckResult::satisfied},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SignedFiles files;
        fs::path file = files.directory() / "Tavelin";
        if (c.kind == Kind::unsignedFile) {
            testing::copyTestPeer(file);
        } else {
            file =
                files.make("Tavelin", c.kind == Kind::otherIdentifier ? clientIdentifier + ".Evil"
                                                                      : clientIdentifier);
        }
        if (c.kind == Kind::groupWritable) {
            fs::permissions(file, fs::perms::group_write, fs::perm_options::add);
        } else if (c.kind == Kind::othersWritable) {
            fs::permissions(file, fs::perms::others_write, fs::perm_options::add);
        } else if (c.kind == Kind::ownedByAnotherUser) {
            ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0) << std::strerror(errno);
        }
        VerifiedExecutables& verified = files.verified();
        const UniqueFd fd = openForReading(file);
        if (c.kind == Kind::touchedWhileHashed) {
            letTheClockPass(file);
            // The first read at offset 0 is the hash's.
            readHook = [path = file](int /*fd*/, off_t offset) {
                if (offset != 0) {
                    return false;
                }
                EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0);
                return true;
            };
        }
        EXPECT_EQ(verified.check(fd.get()).result, c.result);
        if (c.kind == Kind::touchedWhileHashed) {
            EXPECT_FALSE(readHook) << "the file was never hashed";
            readHook = nullptr;
        }
        EXPECT_EQ(verified.size(), 0U);
        ReadCounter reads(fd.get());
        EXPECT_EQ(verified.check(fd.get()).result, c.result);
        EXPECT_EQ(verified.hits(), 0U);
        if (c.result == CodeCheckResult::satisfied) {
            EXPECT_GT(reads.take(), 0);
        }
        if (c.kind == Kind::touchedWhileHashed) {
            // Checked undisturbed, it is remembered.
            EXPECT_EQ(verified.size(), 1U);
            EXPECT_EQ(verified.check(fd.get()).result, CodeCheckResult::satisfied);
            EXPECT_EQ(reads.take(), 0);
        } else {
            EXPECT_EQ(verified.size(), 0U);
        }
    }
}

TEST(VerifiedExecutablesTest, HoldsAtItsBoundDroppingTheEntryUsedLongestAgo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only files of root are remembered";
    }
    SignedFiles files;
    const fs::path original = files.make("Tavelin");
    // Copies: other inodes of the same signed bytes, one more than the bound.
    std::vector<UniqueFd> copies;
    for (std::size_t index = 0; index <= maxVerifiedExecutables; ++index) {
        const fs::path copy = files.directory() / ("copy-" + std::to_string(index));
        fs::copy_file(original, copy);
        copies.push_back(openForReading(copy));
    }
    VerifiedExecutables& verified = files.verified();
    const auto hitsOf = [&](std::size_t index) {
        const std::uint64_t before = verified.hits();
        EXPECT_EQ(verified.check(copies[index].get()).result, CodeCheckResult::satisfied);
        return verified.hits() - before;
    };
    for (std::size_t index = 0; index < maxVerifiedExecutables; ++index) {
        EXPECT_EQ(hitsOf(index), 0U) << index;
    }
    EXPECT_EQ(verified.size(), maxVerifiedExecutables);
    EXPECT_EQ(hitsOf(0), 1U);  // now copy 1 is the one used longest ago
    EXPECT_EQ(hitsOf(maxVerifiedExecutables), 0U);
    EXPECT_EQ(verified.size(), maxVerifiedExecutables);
    EXPECT_EQ(hitsOf(0), 1U);
    EXPECT_EQ(hitsOf(maxVerifiedExecutables), 1U);
    EXPECT_EQ(hitsOf(1), 0U) << "copy 1 was dropped";  // added again, it drops copy 2
    EXPECT_EQ(hitsOf(2), 0U);
    EXPECT_EQ(verified.size(), maxVerifiedExecutables);
    // Every file checked again, over and over: never more entries.
    for (int round = 0; round < 3; ++round) {
        for (const UniqueFd& copy : copies) {
            EXPECT_EQ(verified.check(copy.get()).result, CodeCheckResult::satisfied);
            EXPECT_LE(verified.size(), maxVerifiedExecutables);
        }
    }
}

TEST(VerifiedExecutablesTest, AnEntryAnswersOnlyWhileTheSignersChainIsValid) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only files of root are remembered";
    }
    auto shortLived = testing::leafRequest();
    shortLived.notAfterOffset = 2;
    const testing::TestIdentity identity = testing::makeIdentity(shortLived);
    const TrustAnchor anchor = identity.trustAnchor();
    const Requirement requirement =
        Requirement::parse(PrivilegedHelperInfo::clientCodeRequirement()).value();
    const testing::ScratchDirectory scratch;
    const fs::path file = scratch.path() / "Tavelin";
    testing::copyTestPeer(file);
    testing::signOrFail(file, identity, clientIdentifier);
    VerifiedExecutables verified(anchor, requirement);
    const UniqueFd fd = openForReading(file);
    const CodeCheck first = verified.check(fd.get());
    ASSERT_EQ(first.result, CodeCheckResult::satisfied);
    EXPECT_EQ(verified.size(), 1U);
    EXPECT_LE(first.validity.notAfter, std::time(nullptr) + 2);
    while (std::time(nullptr) < first.validity.notAfter) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const CodeCheck expired = verified.check(fd.get());
    EXPECT_EQ(expired.result, CodeCheckResult::invalid);
    EXPECT_EQ(expired.fault, CodeFault::untrustedSigner);
    EXPECT_EQ(verified.hits(), 0U);
    EXPECT_EQ(verified.size(), 0U);
}

TEST(VerifiedExecutablesTest, WorkThreadsShareOne) {
    SignedFiles files;
    const fs::path original = files.make("Tavelin");
    std::vector<fs::path> paths;
    for (int index = 0; index < 8; ++index) {
        paths.push_back(files.directory() / ("copy-" + std::to_string(index)));
        fs::copy_file(original, paths.back());
    }
    VerifiedExecutables& verified = files.verified();
    std::vector<std::thread> threads;
    std::vector<int> satisfied(4, 0);
    for (std::size_t thread = 0; thread < satisfied.size(); ++thread) {
        threads.emplace_back([&, thread] {
            for (std::size_t round = 0; round < 20; ++round) {
                const fs::path& path = paths[(thread + round) % paths.size()];
                const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
                satisfied[thread] +=
                    verified.check(fd.get()).result == CodeCheckResult::satisfied ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const int count : satisfied) {
        EXPECT_EQ(count, 20);
    }
    if (::geteuid() == 0) {
        EXPECT_EQ(verified.size(), paths.size());
        EXPECT_GE(verified.hits(), 80U - 4 * paths.size());
    }
}

// Looks at a peer as LocalPeerInspector does, counting the looks, and runs an action
// before the second.
class CountingInspector final : public PeerInspector {
  public:
    CountingInspector(const PeerProcess& peer, const CodeTrust& trust,
                      std::function<void()> beforeSecondLook)
        : local_(peer, trust), beforeSecondLook_(std::move(beforeSecondLook)) {}
    [[nodiscard]] Expected<PeerEvidence, SystemError> inspect() override {
        if (++looks_ == 2 && beforeSecondLook_) {
            beforeSecondLook_();
        }
        return local_.inspect();
    }
    [[nodiscard]] int looks() const { return looks_; }

  private:
    LocalPeerInspector local_;
    std::function<void()> beforeSecondLook_;
    int looks_ = 0;
};

// Admission through the verified executables with real peers: a client whose executable
// was verified before is admitted without a hash, but every look at the process is still
// taken, and a file changed since is hashed again.
TEST(VerifiedExecutablesTest, AdmissionSparesOnlyTheHash) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only files of root are remembered";
    }
    enum class Second {
        running,
        traced,
        exited,
        reused,
        tracedBetweenLooks,
        execsBetweenLooks,
        afterRewriteTimesBack
    };
    const struct {
        const char* name;
        Second second;
        long code;
        const char* reason;
        bool hit;
        int looks;
    } cases[] = {
        {"the same client again", Second::running, 0, "", true, 2},
        {"the same client, traced", Second::traced, 3, "traced", false, 1},
        {"the same client, exited", Second::exited, 1, "peer-gone", false, 1},
        {"a reused pid", Second::reused, 1, "peer-gone", false, 1},
        {"traced after the first look", Second::tracedBetweenLooks, 3, "traced", true, 2},
        {"exec'd after the first look", Second::execsBetweenLooks, 3, "executable-changed", true,
         2},
        {"the file rewritten in place, its times put back", Second::afterRewriteTimesBack, 3,
         "altered", false, 1},
    };
    const CodeTrust trust = CodeTrust::ofThisProcess(std::nullopt).value();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SignedFiles files;
        const fs::path file = files.make("Tavelin");
        VerifiedExecutables& verified = files.verified();
        {
            testing::ConnectedPeer first(file);
            ASSERT_NE(first.peer(), nullptr);
            LocalPeerInspector inspector(*first.peer(), trust);
            const ClientVerdict verdict = verifyClient(&inspector, verified);
            EXPECT_EQ(verdict.code, clientVerified);
            EXPECT_EQ(verified.size(), 1U);
        }  // ended, so that its file can be written
        if (c.second == Second::afterRewriteTimesBack) {
            letTheClockPass(file);
            apply(Change::rewrittenInPlaceTimesBack, file, files.directory());
        }
        const bool execs = c.second == Second::execsBetweenLooks;
        testing::ConnectedPeer second(file, execs ? std::vector<std::string>{"/bin/sleep", "600"}
                                                  : std::vector<std::string>{});
        PeerProcess* peer = second.peer();
        ASSERT_NE(peer, nullptr);
        PeerProcess reused{UniqueFd{}, ::getpid(), peer->uid, peer->gid};
        std::function<void()> beforeSecondLook;
        if (c.second == Second::traced) {
            ASSERT_EQ(::ptrace(PTRACE_SEIZE, second.pid(), nullptr, nullptr), 0);
        } else if (c.second == Second::exited) {
            second.stop();
        } else if (c.second == Second::reused) {
            reused.pidfd = std::move(peer->pidfd);
            second.stop();
            peer = &reused;
        } else if (c.second == Second::tracedBetweenLooks) {
            beforeSecondLook = [pid = second.pid()] {
                EXPECT_EQ(::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr), 0);
            };
        } else if (execs) {
            beforeSecondLook = [&second] { second.execRequested(); };
        }
        CountingInspector inspector(*peer, trust, beforeSecondLook);
        const ClientVerdict verdict = verifyClient(&inspector, verified);
        EXPECT_EQ(verdict.code, c.code);
        EXPECT_EQ(refusalReasonName(verdict.reason), c.reason);
        EXPECT_EQ(verified.hits(), c.hit ? 1U : 0U);
        EXPECT_EQ(inspector.looks(), c.looks);
    }
}

}  // namespace
}  // namespace tavelin
