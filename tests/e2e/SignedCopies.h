#pragma once

#include <string>
#include <string_view>

namespace tavelin::e2e {

// A fresh directory under /tmp, removed with everything in it when destroyed.
class ScratchDirectory {
public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Copies of a signed program for the admission cases. Each returns an empty string on
// success, or why the copy could not be made.

// The program without its signature block: byte for byte the code that was signed.
[[nodiscard]] std::string makeUnsignedCopy(const std::string& signedProgram,
                                           const std::string& destination);

// The program re-signed under identifier `identifier` with a leaf certificate issued by
// the development anchor (so the chain is trusted) whose subject OU is
// `organizationalUnit`: the same maker's code, another team.
[[nodiscard]] std::string makeCopySignedUnderDevelopmentAnchor(
    const std::string& signedProgram, const std::string& destination,
    const std::string& anchorDirectory, std::string_view organizationalUnit,
    std::string_view identifier);

// The program re-signed with an identity of its own, made by
// `tavelin-codesign create-identity` with OU `organizationalUnit`: a stranger's chain.
[[nodiscard]] std::string makeCopySignedByStranger(const std::string& codesignTool,
                                                   const std::string& signedProgram,
                                                   const std::string& destination,
                                                   std::string_view organizationalUnit,
                                                   const std::string& scratchDirectory);

}  // namespace tavelin::e2e
