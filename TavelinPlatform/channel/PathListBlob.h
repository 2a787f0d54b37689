#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/channel/SealedBlob.h"

// A removal's path list (the bytes of encodePathList) made and read a piece at a time, so
// that neither side holds the whole list in memory beside the paths themselves.
namespace tavelin::channel {

// The list made as its paths arrive: inline when it fits a datagram, else written into a
// sealed blob through a buffer of at most pieceBytes.
class PathListWriter {
  public:
    static constexpr std::size_t pieceBytes = std::size_t{64} * 1024;

    // The next path. EFBIG past maxPathCount paths or maxPathBlobSize bytes.
    [[nodiscard]] Status<SystemError> add(std::string_view path);
    // Forgets every path added (and the blob begun).
    void clear() noexcept;

    [[nodiscard]] std::uint32_t count() const noexcept { return count_; }
    // The list as an attachment, its blob sealed.
    [[nodiscard]] Expected<Attached, SystemError> finish() &&;

  private:
    [[nodiscard]] Status<SystemError> write(std::string_view bytes);
    [[nodiscard]] Status<SystemError> flush();

    std::string pending_;             // bytes not yet in the blob
    std::optional<BlobWriter> blob_;  // once the list outgrew a piece
    std::size_t length_ = 0;
    std::uint32_t count_ = 0;
};

// Why a received path list was refused: its blob (`blob`, as openAttachedBlob refuses
// one), or else what it holds (`list`).
struct PathListRefusal {
    std::optional<SystemError> blob;
    ChannelError list = ChannelError::pathList;
};

// The `count` paths of a received removal's list: its inline bytes, or its blob (checked
// first as openAttachedBlob checks it, at most maxPathBlobSize) read a piece at a time.
[[nodiscard]] Expected<std::vector<std::string>, PathListRefusal> receivePathList(
    const Attachment& list, int blob, std::uint32_t count);

}  // namespace tavelin::channel
