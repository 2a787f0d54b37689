#pragma once

#include <string>
#include <string_view>

#include "TavelinShared/PrivilegedOperation.h"

namespace tavelin {

// Where decodeWithPathsTo puts a removal's paths as the reading meets them, so that a long
// list need not be whole in memory beside the request it is read from (the front writes
// them straight into the path list it sends on).
class RemovalPathSink {
  public:
    RemovalPathSink() = default;
    RemovalPathSink(const RemovalPathSink&) = default;
    RemovalPathSink& operator=(const RemovalPathSink&) = default;
    RemovalPathSink(RemovalPathSink&&) = default;
    RemovalPathSink& operator=(RemovalPathSink&&) = default;
    virtual ~RemovalPathSink() = default;

    // The next path of the list (valid UTF-8), in document order; the sink may take its
    // bytes. False ends the decoding, as running out of memory does.
    [[nodiscard]] virtual bool add(std::string& path) = 0;
    // Forget every path added: the reading starts over, or the list has failed already.
    virtual void clear() noexcept = 0;
};

// PrivilegedOperation::decode, with a removal's paths handed to `sink` one by one rather
// than kept in the operation, whose list stays empty. The outcome is decode's for the same
// bytes (but for a sink that refuses a path); when it is a removal, `sink` holds exactly
// its paths. Never throws.
[[nodiscard]] Expected<PrivilegedOperation, DecodingError> decodeWithPathsTo(std::string_view bytes,
                                                                             RemovalPathSink& sink);

}  // namespace tavelin
