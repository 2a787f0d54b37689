// The typed calls: each builds its request document, sends it through perform and reads
// the answer back as a result.
#include <utility>

#include "TavelinClient/HelperClient.h"
#include "TavelinClient/src/FrameExchange.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

// A request that cannot be written names the string at fault, e.g.
// "removeSystemPaths._0.Index 1 is not valid UTF-8".
Unexpected<ClientError> unwritable(const EncodingError& error) {
    std::string where;
    for (const std::string& step : error.codingPath) {
        where += where.empty() ? step : "." + step;
    }
    return clientError(ClientErrorKind::invalidRequest, where + " is not valid UTF-8");
}

Expected<std::string, ClientError> documentOf(const PrivilegedOperation& operation) {
    Expected<std::string, EncodingError> document = operation.encode();
    if (!document) {
        return unwritable(document.error());
    }
    return std::move(document).value();
}

}  // namespace

Expected<OperationResult, ClientError> HelperClient::removeSystemPaths(
    const std::vector<std::string>& paths, std::chrono::milliseconds timeout) {
    const Expected<std::string, ClientError> request =
        documentOf(PrivilegedOperation::removeSystemPaths(paths));
    if (!request) {
        return Unexpected(request.error());
    }
    return performOperation(*request, timeout);
}

Expected<OperationResult, ClientError> HelperClient::repairPermissions(
    std::string_view path, std::chrono::milliseconds timeout) {
    const Expected<std::string, ClientError> request =
        documentOf(PrivilegedOperation::repairPermissions(std::string(path)));
    if (!request) {
        return Unexpected(request.error());
    }
    return performOperation(*request, timeout);
}

Expected<OperationResult, ClientError> HelperClient::installSystemUpdates(
    std::chrono::milliseconds timeout) {
    const Expected<std::string, ClientError> request =
        documentOf(PrivilegedOperation::installSystemUpdates());
    if (!request) {
        return Unexpected(request.error());
    }
    return performOperation(*request, timeout);
}

Expected<OperationResult, ClientError> HelperClient::performOperation(
    std::string_view request, std::chrono::milliseconds timeout) {
    Expected<std::string, ClientError> answer = perform(request, timeout);
    if (!answer) {
        return Unexpected(std::move(answer).error());
    }
    if (answer->empty()) {
        // The daemon could not write its result; nothing says what happened.
        return fail(protocolFailure("an empty answer"));
    }
    Expected<PrivilegedResult, DecodingError> result = PrivilegedResult::decode(*answer);
    if (!result) {
        return fail(protocolFailure("the answer is not a result: " + result.error().description));
    }
    return OperationResult{result->success(), result->message(), result->freedBytes()};
}

}  // namespace tavelin
