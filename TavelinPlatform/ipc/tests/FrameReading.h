#pragma once

#include <optional>
#include <string>

#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin::testing {

// The next frame body on `fd`, reading as much as it takes (blocking); nothing when the
// connection closed, broke or carried a malformed frame first. What arrived beyond the
// frame stays in `reader` for the next call.
inline std::optional<std::string> readFrame(int fd, FrameReader& reader) {
    std::string chunk;
    for (;;) {
        if (std::optional<std::string> body = reader.next()) {
            return body;
        }
        if (reader.failed() || !receiveSome(fd, chunk, 65536) || chunk.empty()) {
            return std::nullopt;
        }
        reader.append(chunk);
    }
}

}  // namespace tavelin::testing
