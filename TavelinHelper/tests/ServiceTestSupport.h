#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tavelin::testing {

// A folder under /tmp, removed with everything in it when the test ends.
class ScratchDirectory {
public:
    ScratchDirectory() : path_(::mkdtemp(pattern_) != nullptr ? pattern_ : "") {}
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    [[nodiscard]] const std::string& path() const { return path_; }

    // Writes `content` to `name` below the folder and gives it `mode`; returns its path.
    std::string file(const std::string& name, const std::string& content, mode_t mode = 0644) const {
        const std::string filePath = path_ + "/" + name;
        std::ofstream(filePath, std::ios::binary) << content;
        ::chmod(filePath.c_str(), mode);
        return filePath;
    }
    // A fake update tool: a shell script with `body`.
    std::string tool(const std::string& name, const std::string& body) const {
        return file(name, "#!/bin/sh\n" + body + "\n", 0755);
    }

private:
    char pattern_[28] = "/tmp/tavelin-service-XXXXXX";
    std::string path_;
};

}  // namespace tavelin::testing
