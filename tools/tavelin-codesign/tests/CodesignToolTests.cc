#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <variant>
#include <vector>

#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"
#include "TavelinPlatform/process/ChildProcess.h"
#include "TavelinPlatform/signing/SignatureWriting.h"

namespace tavelin {
namespace {

using testing::ScratchDirectory;

struct ToolRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

ToolRun runTool(const std::vector<std::string>& arguments) {
    auto started = spawnWithCombinedOutput(TAVELIN_CODESIGN_TOOL, arguments);
    if (!started) {
        ADD_FAILURE() << "cannot start " << TAVELIN_CODESIGN_TOOL;
        return {};
    }
    auto& tool = *started;
    ToolRun run;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(tool.output.get(), buffer, sizeof buffer)) > 0 ||
           (count < 0 && errno == EINTR)) {
        run.output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    const auto ended = tool.child.wait();
    run.status = ended && !ended->signaled ? ended->code : -1;
    return run;
}

TEST(CodesignToolTest, CreatesSignsAndVerifies) {
    ScratchDirectory scratch;
    const std::string dir = (scratch.path() / "identity").string();
    const std::string file = (scratch.path() / "peer").string();
    testing::copyTestPeer(file);
    const std::string requirement =
        R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")";

    struct Step {
        std::vector<std::string> arguments;
        int status;
        std::string expectedOutput;
    };
    const Step steps[] = {
        {{}, 2, "usage:"},
        {{"--version"}, 0, "tavelin-codesign 0.0.1\n"},
        {{"create-identity", "--out", dir}, 2, "missing --ou"},
        {{"create-identity", "--out", dir, "--ou", "QH4T7R2KZ5"},
         0,
         "leaf key: " + dir + "/leaf-key.pem"},
        {{"verify", "--anchor", dir + "/anchor.pem", file}, 1, "not signed"},
        {{"sign", "--key", dir + "/missing.pem", "--cert", dir + "/leaf.pem", "--identifier", "x",
          file},
         2,
         "missing.pem: No such file or directory"},
        {{"sign", "--key", dir + "/leaf.pem", "--cert", dir + "/leaf.pem", "--identifier", "x",
          file},
         2,
         "not a readable private key"},
        {{"sign", "--key", dir + "/anchor-key.pem", "--cert", dir + "/leaf.pem", "--identifier",
          "x", file},
         2,
         "does not belong"},
        {{"sign", "--key", dir + "/leaf-key.pem", "--cert", dir + "/leaf.pem", "--identifier",
          "de.morvane.Tavelin", file},
         0,
         "signed " + file},
        {{"verify", "--anchor", dir + "/anchor.pem", "--requirement", requirement, file},
         0,
         "identifier: de.morvane.Tavelin\nleaf subject: CN=Tavelin Development Code Signing,"
         "OU=QH4T7R2KZ5,O=Tavelin Development\nrequirement: satisfied\nsignature: valid\n"},
        {{"verify", "--anchor", dir + "/anchor.pem", "--requirement", "identifier \"other\"", file},
         1,
         "requirement: not satisfied"},
        {{"verify", "--anchor", dir + "/anchor.pem", "--requirement", "identifier other", file},
         2,
         "requirement does not parse"},
        {{"verify", "--anchor", dir + "/leaf-key.pem", file}, 2, "no certificate"},
    };
    for (const auto& step : steps) {
        const ToolRun run = runTool(step.arguments);
        std::string command;
        for (const auto& word : step.arguments) {
            command += word + " ";
        }
        EXPECT_EQ(run.status, step.status) << command << "\n" << run.output;
        EXPECT_NE(run.output.find(step.expectedOutput), std::string::npos) << command << "\n"
                                                                           << run.output;
    }

    struct stat keyStatus {};
    ASSERT_EQ(::stat((dir + "/leaf-key.pem").c_str(), &keyStatus), 0);
    EXPECT_EQ(keyStatus.st_mode & 0777, 0600U);

    // A truncated signature block is reported, not crashed on.
    const auto size = std::filesystem::file_size(file);
    std::filesystem::resize_file(file, size - signatureTrailerSize - 1);
    auto bytes = testing::readBytes(file);
    const auto trailer = encodeSignatureTrailer(size);  // claims more than the file holds
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    testing::writeBytes(file, bytes);
    const ToolRun truncated = runTool({"verify", "--anchor", dir + "/anchor.pem", file});
    EXPECT_EQ(truncated.status, 1) << truncated.output;
    EXPECT_NE(truncated.output.find("invalid"), std::string::npos) << truncated.output;
}

}  // namespace
}  // namespace tavelin
