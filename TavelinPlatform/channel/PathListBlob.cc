#include "TavelinPlatform/channel/PathListBlob.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "TavelinPlatform/core/ByteCodec.h"

namespace tavelin::channel {

namespace {

constexpr std::size_t lengthFieldSize = 4;

// A blob's bytes through a window of PathListWriter::pieceBytes: one pread per piece
// rather than per field, and never the whole blob in memory.
class BlobBytes final : public PathListBytes {
  public:
    explicit BlobBytes(BlobReader reader) noexcept : reader_(reader) {}

    [[nodiscard]] std::size_t remaining() const noexcept override {
        return window_.size() - windowStart_ + reader_.remaining();
    }

    [[nodiscard]] bool read(char* out, std::size_t count) override {
        if (count > remaining()) {
            return false;
        }
        while (count > 0) {
            if (windowStart_ == window_.size() && !refill()) {
                return false;
            }
            const std::size_t taken = std::min(count, window_.size() - windowStart_);
            std::memcpy(out, window_.data() + windowStart_, taken);
            windowStart_ += taken;
            out += taken;
            count -= taken;
        }
        return true;
    }

  private:
    bool refill() {
        window_.resize(std::min(PathListWriter::pieceBytes, reader_.remaining()));
        windowStart_ = 0;
        return static_cast<bool>(reader_.read(window_.data(), window_.size()));
    }

    BlobReader reader_;
    std::string window_;
    std::size_t windowStart_ = 0;
};

}  // namespace

Status<SystemError> PathListWriter::add(std::string_view path) {
    if (count_ == maxPathCount || path.size() > maxPathBlobSize - lengthFieldSize ||
        length_ + lengthFieldSize + path.size() > maxPathBlobSize) {
        return systemError(EFBIG, "path list");
    }
    if (pending_.size() + lengthFieldSize + path.size() > pieceBytes) {
        if (auto flushed = flush(); !flushed) {
            return flushed;
        }
    }
    appendUnsigned(pending_, path.size(), lengthFieldSize, ByteOrder::littleEndian);
    if (lengthFieldSize + path.size() <= pieceBytes) {
        pending_ += path;
    } else if (auto written = write(path); !written) {
        return written;  // longer than a piece: straight into the blob, after its length
    }
    length_ += lengthFieldSize + path.size();
    ++count_;
    return {};
}

void PathListWriter::clear() noexcept {
    pending_.clear();
    blob_.reset();
    length_ = 0;
    count_ = 0;
}

Status<SystemError> PathListWriter::write(std::string_view bytes) {
    if (auto flushed = flush(); !flushed) {
        return flushed;
    }
    return blob_->write(bytes);
}

Status<SystemError> PathListWriter::flush() {
    if (!blob_) {
        auto created = BlobWriter::create();
        if (!created) {
            return Unexpected(std::move(created).error());
        }
        blob_.emplace(std::move(created).value());
    }
    if (auto written = blob_->write(pending_); !written) {
        return written;
    }
    pending_.clear();
    return {};
}

Expected<Attached, SystemError> PathListWriter::finish() && {
    Attached attached;
    attached.attachment.length = static_cast<std::uint32_t>(length_);
    if (!attached.attachment.inBlob()) {
        // A list this short never left pending_: no piece was full.
        attached.attachment.inlineBytes = std::move(pending_);
        return attached;
    }
    if (auto flushed = flush(); !flushed) {
        return Unexpected(std::move(flushed).error());
    }
    auto sealed = std::move(*blob_).seal();
    if (!sealed) {
        return Unexpected(std::move(sealed).error());
    }
    attached.blob = std::move(sealed).value();
    return attached;
}

Expected<std::vector<std::string>, PathListRefusal> receivePathList(const Attachment& list,
                                                                    int blob, std::uint32_t count) {
    std::optional<Expected<std::vector<std::string>, ChannelError>> paths;
    if (!list.inBlob()) {
        paths = decodePathList(list.inlineBytes, count);
    } else {
        auto reader = openAttachedBlob(list, blob, maxPathBlobSize);
        if (!reader) {
            return Unexpected(PathListRefusal{std::move(reader).error(), {}});
        }
        BlobBytes bytes(*reader);
        paths = decodePathList(bytes, count);
    }
    if (!*paths) {
        return Unexpected(PathListRefusal{std::nullopt, paths->error()});
    }
    return std::move(*paths).value();
}

}  // namespace tavelin::channel
