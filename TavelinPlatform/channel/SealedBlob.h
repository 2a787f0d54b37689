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

// A sealed memory file holding `bytes`.
[[nodiscard]] Expected<UniqueFd, SystemError> makeSealedBlob(std::string_view bytes);

// The contents of a blob received from the other side. Fails with EPERM when the
// descriptor is not a memory file sealed against writing, growing and shrinking, with
// EFBIG when it holds more than `maxBytes`.
[[nodiscard]] Expected<std::string, SystemError> readSealedBlob(int fd, std::size_t maxBytes);

// `bytes` as an attachment: inline when they fit, else in a new sealed blob (`blob`).
struct Attached {
    Attachment attachment;
    UniqueFd blob;
};
[[nodiscard]] Expected<Attached, SystemError> attach(std::string bytes);

// The bytes of a received attachment: its inline bytes, or those of `blob`, which must be
// a sealed blob of exactly the attachment's length and at most `maxBytes` (EPROTO when its
// length differs).
[[nodiscard]] Expected<std::string, SystemError> attachedBytes(Attachment attachment, int blob,
                                                               std::size_t maxBytes);

}  // namespace tavelin::channel
