#include "bench/DaemonRequests.h"

#include "bench/Comparison.h"

namespace tavelin::bench {

HelperClient connectOrFail(const std::string& name) {
    auto client = HelperClient::connect(name);
    if (!client) {
        fail("not admitted (is this binary signed?): " + client.error().text());
    }
    return std::move(client).value();
}

std::string performOrFail(HelperClient& client, std::string_view request,
                          std::string_view expected) {
    auto answer = client.perform(request);
    if (!answer) {
        fail("no answer to a perform: " + answer.error().text());
    }
    if (answer->find(expected) == std::string::npos) {
        fail("unexpected answer to a perform (" + std::string(expected) +
             " expected): " + answer.value());
    }
    return std::move(answer).value();
}

}  // namespace tavelin::bench
