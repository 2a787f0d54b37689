// tavelin_version_client_*: the smallest client an application could be, built the ways
// an application might be linked (without PIE, static). It asks the daemon named by
// TAVELIN_SERVICE_NAME for its version through the client library and prints the answer,
// or the error with exit status 2.
#include <cstdio>
#include <cstdlib>

#include "TavelinClient/HelperClient.h"

namespace {

int failed(const tavelin::ClientError& error) {
    std::printf("%s\n", error.text().c_str());
    return 2;
}

}  // namespace

int main() {
    const char* name = std::getenv("TAVELIN_SERVICE_NAME");
    auto client = tavelin::HelperClient::connect(name != nullptr ? name : "");
    if (!client) {
        return failed(client.error());
    }
    const auto version = client->helperVersion();
    if (!version) {
        return failed(version.error());
    }
    std::printf("%s\n", version->c_str());
    return 0;
}
