#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace tavelin::testing {

// A folder under /tmp, removed with everything in it when the test ends.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/tavelin-service-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        if (!path_.empty()) {
            const int ignored = std::system(("rm -rf '" + path_ + "'").c_str());
            (void)ignored;
        }
    }

    [[nodiscard]] const std::string& path() const { return path_; }

    // Writes `content` to `name` below the folder and gives it `mode`; returns its path.
    std::string file(const std::string& name, const std::string& content,
                     mode_t mode = 0644) const {
        std::string filePath = path_ + "/" + name;
        std::ofstream(filePath, std::ios::binary) << content;
        ::chmod(filePath.c_str(), mode);
        return filePath;
    }

    // A fake update tool: a shell script with `body`.
    std::string tool(const std::string& name, const std::string& body) const {
        return file(name, "#!/bin/sh\n" + body + "\n", 0755);
    }

private:
    std::string path_;
};

}  // namespace tavelin::testing
