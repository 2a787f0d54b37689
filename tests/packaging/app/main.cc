// A minimal application of the client library: asks the daemon for its version.
#include <TavelinClient/HelperClient.h>

#include <iostream>

int main(int argc, char** argv) {
    auto client = tavelin::HelperClient::connect(
        argc > 1 ? argv[1] : tavelin::PrivilegedHelperInfo::machServiceName);
    if (!client) {
        std::cerr << client.error().text() << '\n';
        return 2;
    }
    auto version = client->helperVersion();
    if (!version) {
        std::cerr << version.error().text() << '\n';
        return 1;
    }
    std::cout << *version << '\n';
}
