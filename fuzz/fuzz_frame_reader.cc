// Arbitrary bytes as a stream received by the daemon (or the client): cut into frames with
// chunk sizes taken from the input, every body decoded as each frame type, and what
// decodes re-encoded to the very same bytes. Cutting the stream differently must never
// change the frames or the verdict.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TavelinPlatform/ipc/Frame.h"

namespace {

using namespace tavelin;

struct Cut {
    std::vector<std::string> bodies;
    bool failed = false;
};

Cut cutStream(std::string_view stream, std::size_t chunkSize, std::uint32_t limit) {
    Cut cut;
    FrameReader reader(limit);
    for (std::size_t offset = 0; offset < stream.size(); offset += chunkSize) {
        reader.append(stream.substr(offset, chunkSize));
        while (auto body = reader.next()) {
            if (body->empty() || body->size() > limit) {
                std::abort();
            }
            cut.bodies.push_back(std::move(*body));
        }
    }
    cut.failed = reader.failed();
    if (cut.failed && reader.next()) {
        std::abort();  // a failed reader hands out nothing more
    }
    return cut;
}

std::string framed(const std::string& body) {
    std::string frame;
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((body.size() >> shift) & 0xFFU));
    }
    return frame + body;
}

void checkBody(const std::string& body) {
    (void)frameTypeOf(body);
    (void)decodeHello(body);
    const auto call = decodeCall(body);
    if (call) {
        const auto again = encodeCall(*call);
        if (!again || *again != framed(body)) {
            std::abort();
        }
    }
    const auto reply = decodeReply(body);
    if (reply) {
        const auto again = encodeReply(*reply);
        if (!again || *again != framed(body)) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // Byte 0: the chunk size of the second cut; byte 1: a small limit to hit "oversize".
    const std::size_t chunkSize = static_cast<std::size_t>(data[0] % 16) + 1;
    const std::uint32_t smallLimit = static_cast<std::uint32_t>(data[1]) + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    const Cut whole = cutStream(stream, stream.size() + 1, maxFrameBody);
    const Cut pieces = cutStream(stream, chunkSize, maxFrameBody);
    if (whole.bodies != pieces.bodies || whole.failed != pieces.failed) {
        std::abort();
    }
    for (const auto& body : whole.bodies) {
        checkBody(body);
    }
    const Cut limited = cutStream(stream, chunkSize, smallLimit);
    for (const auto& body : limited.bodies) {
        checkBody(body);
    }
    return 0;
}
