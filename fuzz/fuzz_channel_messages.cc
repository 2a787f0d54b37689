// Arbitrary datagrams as the root monitor reads them from the front (and the front from the
// monitor), and arbitrary path-list blobs: a datagram either is refused or is exactly the
// encoding of what it decoded to, with a descriptor exactly where its type carries one.
// The first input byte says whether a descriptor came with the datagram and, for a path
// list, how many paths it should hold; the rest is the datagram or the blob.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TavelinPlatform/channel/ChannelMessages.h"

namespace {

using namespace tavelin::channel;

template <typename Decoded, typename Encode>
void expectRoundTrip(const Decoded& decoded, std::string_view bytes, bool hasDescriptor,
                     Encode encode) {
    if (!decoded) {
        return;
    }
    if (encode(decoded->requestId, decoded->message) != bytes ||
        carriesDescriptor(decoded->message) != hasDescriptor) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool hasDescriptor = (data[0] & 1U) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    expectRoundTrip(decodeRequest(bytes, hasDescriptor), bytes, hasDescriptor,
                    [](std::uint64_t id, const FrontRequest& m) { return encodeRequest(id, m); });
    expectRoundTrip(decodeReply(bytes, hasDescriptor), bytes, hasDescriptor,
                    [](std::uint64_t id, const MonitorReply& m) { return encodeReply(id, m); });

    const std::uint32_t count = data[0] >> 1U;
    if (auto paths = decodePathList(bytes, count)) {
        if (paths->size() != count || encodePathList(*paths) != bytes) {
            std::abort();
        }
    }
    return 0;
}
