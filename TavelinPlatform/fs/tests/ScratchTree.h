#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Test support: a scratch folder that stands in for the file system's root, so tests act
// on real files without touching the real /Library or /private.
namespace tavelin::testing {

bool removeWithRm(const std::string& path);  // `rm -rf path`; true when it exited with 0

class ScratchTree {
  public:
    // A fresh folder (mode 0755) below $TMPDIR, else /dev/shm (a fast tmpfs), else /tmp.
    ScratchTree();
    ~ScratchTree() { removeWithRm(root_); }
    ScratchTree(const ScratchTree&) = delete;
    ScratchTree& operator=(const ScratchTree&) = delete;

    [[nodiscard]] const std::string& root() const noexcept { return root_; }
    // The real path of a client path ("/Library/Caches/x" -> <root>/Library/Caches/x).
    [[nodiscard]] std::string real(const std::string& clientPath) const {
        return root_ + (clientPath.starts_with('/') ? "" : "/") + clientPath;
    }

    // These create missing parents and fail the current test when the system refuses.
    void makeFolder(const std::string& clientPath, mode_t mode = 0755) const;
    void writeFile(const std::string& clientPath, std::size_t length, mode_t mode = 0644) const;
    void makeLink(const std::string& target, const std::string& clientPath) const;

    [[nodiscard]] bool exists(const std::string& path) const { return status(path).has_value(); }
    [[nodiscard]] std::optional<struct stat> status(const std::string& clientPath) const;
    // Non-folders below a client folder, -1 when it cannot be read; and st_blocks * 512
    // summed over everything below it, as the walk counts.
    [[nodiscard]] long countFiles(const std::string& clientPath) const;
    [[nodiscard]] std::int64_t allocatedBelow(const std::string& clientPath) const;

  private:
    std::string root_;
};

// Runs `work` in a forked child, which first drops to the unprivileged user "nobody"
// (uid/gid 65534) when `asNobody`, so permission bits apply as they do to ordinary users.
// Answers what `work` returned (up to 4096 bytes), or nullopt when the child failed.
[[nodiscard]] std::optional<std::string> runInChild(const std::function<std::string()>& work,
                                                    bool asNobody = false);

}  // namespace tavelin::testing
