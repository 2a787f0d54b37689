#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

// Bulk data between front and monitor (path lists, long messages) travels in an anonymous
// memory file the sender seals before passing it on: once sealed it can neither change nor
// change size, so what the receiver checked is what it uses, however the sender behaves.
namespace tavelin::channel {

// A memory file written in pieces, so that its contents need never be whole in memory,
// and sealed once complete.
class BlobWriter {
  public:
    [[nodiscard]] static Expected<BlobWriter, SystemError> create();

    [[nodiscard]] Status<SystemError> write(std::string_view bytes);
    // The blob, sealed against writing, growing and shrinking.
    [[nodiscard]] Expected<UniqueFd, SystemError> seal() &&;

  private:
    explicit BlobWriter(UniqueFd blob) noexcept : blob_(std::move(blob)) {}

    UniqueFd blob_;
};

// A blob received from the other side, checked before a byte of it is read, then read in
// pieces. Does not own the descriptor.
class BlobReader {
  public:
    // Fails with EPERM when the descriptor is not a memory file sealed against writing,
    // growing and shrinking, with EFBIG when it holds more than `maxBytes`.
    [[nodiscard]] static Expected<BlobReader, SystemError> open(int fd, std::size_t maxBytes);

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t remaining() const noexcept { return size_ - offset_; }
    // The next `count` bytes into `out`; EIO when fewer remain.
    [[nodiscard]] Status<SystemError> read(char* out, std::size_t count);

  private:
    BlobReader(int fd, std::size_t size) noexcept : fd_(fd), size_(size) {}

    int fd_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// A sealed memory file holding `bytes`.
[[nodiscard]] Expected<UniqueFd, SystemError> makeSealedBlob(std::string_view bytes);

// The contents of a blob received from the other side, checked as BlobReader::open checks.
[[nodiscard]] Expected<std::string, SystemError> readSealedBlob(int fd, std::size_t maxBytes);

// `bytes` as an attachment: inline when they fit, else in a new sealed blob (`blob`).
struct Attached {
    Attachment attachment;
    UniqueFd blob;
};
[[nodiscard]] Expected<Attached, SystemError> attach(std::string bytes);

// The blob of a received attachment that travels in one, opened for reading: a sealed blob
// of exactly the attachment's length and at most `maxBytes` (EPROTO when its length
// differs). Precondition: attachment.inBlob().
[[nodiscard]] Expected<BlobReader, SystemError> openAttachedBlob(const Attachment& attachment,
                                                                 int blob, std::size_t maxBytes);

// The bytes of a received attachment: its inline bytes, or those of `blob`, checked as
// openAttachedBlob checks it.
[[nodiscard]] Expected<std::string, SystemError> attachedBytes(Attachment attachment, int blob,
                                                               std::size_t maxBytes);

}  // namespace tavelin::channel
