// The built tavelinctl run as a process against daemons of the test's own on real abstract
// sockets (this test runs as a trusted user: root, or the developer of the build): its exit
// statuses, what goes to stdout and what to stderr, and what it sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/ipc/tests/FrameReading.h"
#include "TavelinPlatform/process/ChildProcess.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/tests/support/LayoutFolders.h"
#include "tools/tavelinctl/CommandLine.h"
#include "tools/tavelinctl/tests/JoinedWords.h"

namespace tavelin::tavelinctl {
namespace {

std::string uniqueName(const std::string& purpose) {
    static int counter = 0;
    return "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + ".ctl." + purpose +
           "." + std::to_string(counter++);
}

// A fresh directory under /tmp, removed with everything in it when destroyed.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern = "/tmp/tavelinctl-test-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Listens on a fresh name and serves one connection on a thread: greets and answers each
// call (the version "0.0.1", perform with `answer`) and records the perform requests, or,
// when `silent`, accepts and never says a word until the client hangs up.
class ScriptedDaemon {
  public:
    ScriptedDaemon(bool silent, std::string answer)
        : name_(uniqueName(silent ? "silent" : "scripted")),
          listener_(listenOnAbstractName(name_).value()),
          thread_([this, silent, answer = std::move(answer)] { serve(silent, answer); }) {}
    ScriptedDaemon(const ScriptedDaemon&) = delete;
    ScriptedDaemon& operator=(const ScriptedDaemon&) = delete;
    ~ScriptedDaemon() {
        // Unblocks the accept when no client came.
        static_cast<void>(connectToAbstractName(name_));
        thread_.join();
    }

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] std::vector<std::string> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void serve(bool silent, const std::string& answer) {
        auto accepted = acceptConnection(listener_.get());
        if (!accepted) {
            return;
        }
        const int fd = accepted->get();
        if (!silent) {
            static_cast<void>(sendAll(fd, encodeHello()));
        }
        FrameReader reader;
        while (std::optional<std::string> body = testing::readFrame(fd, reader)) {
            const auto call = decodeCall(*body);
            if (!call || silent) {
                return;
            }
            const bool perform = call->selector == CallSelector::perform;
            if (perform) {
                const std::lock_guard lock(mutex_);
                requests_.push_back(call->argument);
            }
            static_cast<void>(
                sendAll(fd, *encodeReply(ReplyFrame{call->callId, perform ? answer : "0.0.1"})));
        }
    }

    std::string name_;
    UniqueFd listener_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Everything a started child writes, to its end.
std::string outputOf(ChildWithOutput& started) {
    std::string output;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(started.output.get(), buffer, sizeof buffer)) > 0 ||
           (count < 0 && errno == EINTR)) {
        output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    return output;
}

std::string contentsOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The built tavelinctl with TAVELIN_SERVICE_NAME=`serviceName`, in `directory` (empty:
// this one). Ended by force after a minute, far beyond any of its time limits, so that a
// hang fails the test instead of stopping the suite.
Outcome runTavelinctl(const std::string& serviceName, const std::vector<std::string>& arguments,
                      const std::string& directory = {}) {
    const ScratchDirectory scratch;
    const std::string errFile = scratch.path() + "/stderr";
    std::vector<std::string> words = {
        "-c",           "errors=$1; shift; exec \"$@\" 2>\"$errors\"", "tavelinctl",   errFile,
        "/usr/bin/env", "TAVELIN_SERVICE_NAME=" + serviceName,         TAVELINCTL_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    SpawnOptions options;
    options.workingDirectory = directory;
    options.standardInputFromNull = true;
    auto started = spawnWithCombinedOutput("/bin/sh", words, options);
    if (!started) {
        ADD_FAILURE() << "cannot start tavelinctl: " << started.error().text();
        return {};
    }
    const auto ended =
        started->child.awaitEnd(std::chrono::steady_clock::now() + std::chrono::minutes(1));
    if (!ended || !*ended) {
        ADD_FAILURE() << "tavelinctl did not end";
        started->child.kill();
    }
    Outcome outcome;
    outcome.out = outputOf(*started);
    const auto termination = started->child.wait();
    outcome.status = termination && !termination->signaled ? termination->code : -1;
    outcome.err = contentsOf(errFile);
    return outcome;
}

std::string resultDocument(bool success, const std::string& message, std::int64_t freed = 0) {
    return *PrivilegedResult(success, message, freed).encode();
}

std::string removalRequest(const std::vector<std::string>& paths) {
    return *PrivilegedOperation::removeSystemPaths(paths).encode();
}

const std::string tryHelp = "Try 'tavelinctl --help' for more information.\n";

// Options, usage errors and answers that need no daemon: nothing may be sent, so no
// daemon serves the name and connecting at all would end in status 2. A file name may be
// any bytes, a request only UTF-8 text: tavelinctl must refuse such a path before it
// connects, and not send it in another spelling that names another file.
TEST(TavelinctlProcessTest, OptionsUsageErrorsAndPathsThatAreNotUtf8AnswerWithoutTheDaemon) {
    const std::string unusedName = uniqueName("unused");
    const std::string notRunning =
        "tavelinctl: the Tavelin helper is not running (service " + unusedName + ")\n";
    const std::string removeUsage = "usage: tavelinctl [OPTION...] remove [--] PATH...\n";
    const std::string notUtf8 =
        " is not valid UTF-8, and a request can carry only UTF-8 text; nothing was sent\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out;  // a prefix of stdout
        std::string err;  // all of stderr
    } cases[] = {
        {{"--version"},
         exitSuccess,
         "tavelinctl " TAVELINCTL_VERSION " (path layout: " TAVELIN_PATH_LAYOUT ")\n",
         ""},
        {{"-V", "remove", "/x"},
         exitSuccess,
         "tavelinctl " TAVELINCTL_VERSION " (path layout: " TAVELIN_PATH_LAYOUT ")\n",
         ""},
        {{"--help"}, exitSuccess, "usage: tavelinctl [OPTION...] help [COMMAND]\n", ""},
        {{"help"}, exitSuccess, "usage: tavelinctl [OPTION...] help [COMMAND]\n", ""},
        {{"help", "remove"}, exitSuccess, removeUsage, ""},
        {{"remove", "--help"}, exitSuccess, removeUsage, ""},
        {{"remove", "/x", "-h"}, exitSuccess, removeUsage, ""},
        {{}, exitUsage, "", "tavelinctl: no command given\n" + tryHelp},
        {{"bogus"}, exitUsage, "", "tavelinctl: unknown command \"bogus\"\n" + tryHelp},
        {{"help", "bogus"}, exitUsage, "", "tavelinctl: unknown command \"bogus\"\n" + tryHelp},
        {{"--bogus", "version"},
         exitUsage,
         "",
         "tavelinctl: unknown option \"--bogus\"\n" + tryHelp},
        {{"remove", "-x"}, exitUsage, "", "tavelinctl: unknown option \"-x\"\n" + tryHelp},
        {{"remove"}, exitUsage, "", "tavelinctl: remove needs a PATH\n" + tryHelp},
        {{"update", "now"},
         exitUsage,
         "",
         "tavelinctl: unexpected argument \"now\" after update\n" + tryHelp},
        {{"version", "--timeout"},
         exitUsage,
         "",
         "tavelinctl: option --timeout needs the seconds\n" + tryHelp},
        {{"--timeout=0", "version"},
         exitUsage,
         "",
         "tavelinctl: invalid timeout \"0\": give the seconds, more than 0 and at most 86400\n" +
             tryHelp},
        {{"repair", "/tmp/a\xFF"}, exitUsage, "", "tavelinctl: the path \"/tmp/a\\xFF\"" + notUtf8},
        // The first bad path is named; well-formed text, quotes and controls are shown too.
        {{"remove", "/tmp/\xC3\xBC\"ok\"", "/tmp/\"q\"\t\xC3", "/tmp/\xFF"},
         exitUsage,
         "",
         "tavelinctl: the path \"/tmp/\\\"q\\\"\\x09\\xC3\"" + notUtf8},
        {{"remove", "/tmp/\xED\xA0\x80"},  // an encoded surrogate
         exitUsage,
         "",
         "tavelinctl: the path \"/tmp/\\xED\\xA0\\x80\"" + notUtf8},
        // Connecting at all: the cases here that reach for the daemon, with a UTF-8 path too.
        {{"version"}, exitNoAnswer, "", notRunning},
        {{"repair", "/tmp/\xC3\xBC"}, exitNoAnswer, "", notRunning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.arguments));
        const Outcome outcome = runTavelinctl(unusedName, c.arguments);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out.substr(0, c.out.size()), c.out) << outcome.out;
        if (c.out.empty()) {
            EXPECT_EQ(outcome.out, "");
        }
        EXPECT_EQ(outcome.err, c.err);
    }
}

// A listener that accepts but never greets holds tavelinctl only until its time limit.
TEST(TavelinctlProcessTest, ASilentListenerEndsInStatusTwoAtTheTimeout) {
    const ScriptedDaemon silent(true, "");
    const Outcome outcome = runTavelinctl(silent.name(), {"--timeout", "0.2", "version"});
    EXPECT_EQ(outcome.status, exitNoAnswer);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "tavelinctl: the Tavelin helper did not answer in time (service " +
                               silent.name() + ", no hello within 200 ms)\n");
}

// What the daemon receives, and what tavelinctl makes of each kind of answer.
TEST(TavelinctlProcessTest, RequestsAnswersStatusesAndStreams) {
    const ScratchDirectory cwd;
    const std::string& here = cwd.path();
    const std::string logged = std::string(testing::layout::secondArea) + "/x";
    const std::string notAuthorized = resultDocument(false, std::string(notAuthorizedMessage));
    const struct {
        std::string name;
        std::vector<std::string> arguments;
        std::string answer;   // the daemon's answer to perform
        std::string request;  // what it must have received; empty: no perform at all
        int status;
        std::string out;
        std::string err;  // a prefix of stderr
    } cases[] = {
        {"the version", {"version"}, "", "", exitSuccess, "0.0.1\n", ""},
        {"the version as JSON",
         {"version", "--json"},
         "",
         "",
         exitSuccess,
         "{\"version\":\"0.0.1\"}\n",
         ""},
        {"relative paths are joined to the caller's directory as they are",
         {"remove", "a/../b", "./c", "/abs", ""},
         resultDocument(true, "3 Pfade entfernt, 1 durch Policy abgelehnt"),
         removalRequest({here + "/a/../b", here + "/./c", "/abs", ""}),
         exitOperationFailed,
         "",
         "3 Pfade entfernt, 1 durch Policy abgelehnt (0 Bytes freigegeben)\n"},
        {"after --, a word beginning with - is a path",
         {"remove", "--", "-a", "--help"},
         resultDocument(true, "2 Pfade entfernt", 1500),
         removalRequest({here + "/-a", here + "/--help"}),
         exitSuccess,
         "2 Pfade entfernt (1,5 kB freigegeben)\n",
         ""},
        {"a failed repair goes to stderr",
         {"repair", logged},
         resultDocument(false, "Rechte konnten nicht gesetzt werden"),
         *PrivilegedOperation::repairPermissions(logged).encode(),
         exitOperationFailed,
         "",
         "Rechte konnten nicht gesetzt werden\n"},
        {"not authorised",
         {"update"},
         notAuthorized,
         *PrivilegedOperation::installSystemUpdates().encode(),
         exitOperationFailed,
         "",
         "tavelinctl: not authorised: "},
        {"--json prints the document, whatever it says",
         {"--json", "remove", "/x", "/y"},
         resultDocument(true, "1 Pfade entfernt, 1 durch Policy abgelehnt"),
         removalRequest({"/x", "/y"}),
         exitOperationFailed,
         resultDocument(true, "1 Pfade entfernt, 1 durch Policy abgelehnt") + "\n",
         ""},
        {"--json of a complete task",
         {"update", "--json"},
         resultDocument(true, "Updates installiert"),
         *PrivilegedOperation::installSystemUpdates().encode(),
         exitSuccess,
         resultDocument(true, "Updates installiert") + "\n",
         ""},
        {"perform's status follows success",
         {"perform", R"({"bogus":1})"},
         resultDocument(false, "Ung\u00fcltige Operation"),
         R"({"bogus":1})",
         exitOperationFailed,
         resultDocument(false, "Ung\u00fcltige Operation") + "\n",
         ""},
        {"an answer that is no result",
         {"perform", "{}"},
         "not json",
         "{}",
         exitNoAnswer,
         "not json\n",
         "tavelinctl: the helper's answer is not a result ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ScriptedDaemon daemon(false, c.answer);
        const Outcome outcome = runTavelinctl(daemon.name(), c.arguments, here);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err.substr(0, c.err.size()), c.err) << outcome.err;
        if (c.err.empty()) {
            EXPECT_EQ(outcome.err, "");
        }
        EXPECT_EQ(daemon.requests(), c.request.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{c.request});
    }
}

// What the bash completion offers in `directory` for the command line `words`, the last
// being the word under the cursor: one offer per line, sorted.
std::string completionsFor(const std::vector<std::string>& words, const std::string& directory) {
    std::vector<std::string> arguments = {
        "-c",
        "source \"$1\"; shift; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _tavelinctl; "
        "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort",
        "bash", TAVELINCTL_COMPLETION};
    arguments.insert(arguments.end(), words.begin(), words.end());
    SpawnOptions options;
    options.workingDirectory = directory;
    auto started = spawnWithCombinedOutput("/bin/bash", arguments, options);
    if (!started) {
        ADD_FAILURE() << "cannot start bash: " << started.error().text();
        return {};
    }
    std::string output = outputOf(*started);
    static_cast<void>(started->child.wait());
    return output;
}

TEST(TavelinctlCompletionTest, OffersCommandsOptionsAndFilesWhereEachFits) {
    const ScratchDirectory scratch;
    const std::string& dir = scratch.path();
    std::ofstream(dir + "/alpha").put('a');
    std::ofstream(dir + "/-dash").put('d');
    const struct {
        std::vector<std::string> words;
        std::string offers;
    } cases[] = {
        {{"tavelinctl", ""}, "help\nperform\nremove\nrepair\nupdate\nversion\n"},
        {{"tavelinctl", "re"}, "remove\nrepair\n"},
        {{"tavelinctl", "--json", "--timeout", "3", "up"}, "update\n"},
        {{"tavelinctl", "--"}, "--\n--help\n--json\n--timeout\n--version\n"},
        {{"tavelinctl", "--t"}, "--timeout\n"},
        {{"tavelinctl", "--timeout", ""}, "\n"},
        {{"tavelinctl", "help", "v"}, "version\n"},
        {{"tavelinctl", "help", "remove", ""}, "\n"},
        {{"tavelinctl", "remove", dir + "/al"}, dir + "/alpha\n"},
        {{"tavelinctl", "remove", dir + "/alpha", dir + "/"}, dir + "/-dash\n" + dir + "/alpha\n"},
        {{"tavelinctl", "remove", "--j"}, "--json\n"},
        {{"tavelinctl", "remove", "--", dir + "/-"}, dir + "/-dash\n"},
        {{"tavelinctl", "remove", "--", "-"}, "-dash\n"},
        {{"tavelinctl", "remove", "-"}, "--\n--help\n--json\n--timeout\n--version\n"},
        {{"tavelinctl", "repair", dir + "/alpha", dir + "/"}, "\n"},
        {{"tavelinctl", "update", ""}, "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.words));
        EXPECT_EQ(completionsFor(c.words, dir), c.offers);
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl
