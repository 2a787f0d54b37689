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

    [[nodiscard]] std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Copies of a signed program for the admission cases; each returns "" on success, or why
// the copy could not be made.

// Byte for byte the code that was signed, without its signature block.
[[nodiscard]] std::string makeUnsignedCopy(const std::string& signedProgram,
                                           const std::string& destination);

// Re-signed as `identifier` by a leaf that the development anchor in `anchorDirectory`
// issued with subject OU `organizationalUnit`: a trusted chain, but perhaps another team.
[[nodiscard]] std::string makeCopySignedUnderDevelopmentAnchor(
    const std::string& signedProgram, const std::string& destination,
    const std::string& anchorDirectory, std::string_view organizationalUnit,
    std::string_view identifier);

}  // namespace tavelin::e2e
