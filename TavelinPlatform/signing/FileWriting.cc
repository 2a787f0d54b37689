#include "TavelinPlatform/signing/FileWriting.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/identity/FileReading.h"

namespace tavelin {

Status<IdentityError> writeAllAt(int fd, std::span<const std::uint8_t> bytes,
                                 std::uint64_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = retryOnInterrupt([&] {
            return ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                            static_cast<off_t>(offset + done));
        });
        if (count < 0) {
            return identityError(lastSystemError("write"));
        }
        done += static_cast<std::size_t>(count);
    }
    return {};
}

Status<IdentityError> writeWholeFile(const std::string& path, const std::string& text,
                                     mode_t mode) {
    auto file = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!file) {
        return Unexpected(file.error());
    }
    // The mode given to open() only applies to new files; an older key file keeps
    // whatever it had unless we set it here.
    if (::fchmod(file->get(), mode) != 0) {
        return identityError(lastSystemError(path));
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (auto written = writeAllAt(file->get(), {bytes, text.size()}, 0); !written) {
        return identityError(path + ": ", written.error());
    }
    return {};
}

}  // namespace tavelin
