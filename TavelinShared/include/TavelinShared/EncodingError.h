#pragma once

#include <string>
#include <vector>

#include "TavelinShared/Expected.h"

namespace tavelin {

// Why a value could not be written as a request or result document. JSON text carries
// only Unicode, so the one cause is a string of the value that is not well-formed UTF-8
// (a file name on Linux may be any bytes); writing it with replacement characters would
// name a different file, so the value is not written at all.
struct EncodingError {
    // The way from the document's top-level value to the string that cannot be written, in
    // the steps DecodingError uses: {"repairPermissions", "path"},
    // {"removeSystemPaths", "_0", "Index 2"} or {"message"}. The first such string decides.
    std::vector<std::string> codingPath;
    // Human-readable and not part of any format.
    std::string description;
};

}  // namespace tavelin
