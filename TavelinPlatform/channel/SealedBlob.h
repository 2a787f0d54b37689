#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "SystemError.h"
#include "UniqueFd.h"

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

}  // namespace tavelin::channel
