// remove-paths: asks the Tavelin helper to remove the given paths and says what it did.
//   remove-paths PATH...
// Exit status: 0 every path removed, 1 some left alone, 2 no answer from the helper.
#include <TavelinClient/HelperClient.h>
#include <TavelinClient/RemovalSummary.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> paths(argv + 1, argv + argc);
    if (paths.empty()) {
        std::fputs("usage: remove-paths PATH...\n", stderr);
        return 64;
    }

    // Connecting has a time limit of its own (tavelin::defaultConnectTimeout); so has the
    // removal, which may first wait for an administrator's password.
    auto client = tavelin::HelperClient::connect();
    if (!client) {
        std::fprintf(stderr, "remove-paths: %s\n", client.error().text().c_str());
        return 2;
    }
    const auto result = client->removeSystemPaths(paths);
    if (!result) {
        std::fprintf(stderr, "remove-paths: %s\n", result.error().text().c_str());
        return 2;
    }

    // The message is for the user; the counts are for the program.
    std::printf("%s\n", result->message.c_str());
    const auto summary = tavelin::readRemovalSummary(result->message);
    if (!result->success || !summary) {
        return 1;
    }
    std::printf("removed %lld, refused %lld, failed %lld; %lld bytes freed\n",
                static_cast<long long>(summary->removed), static_cast<long long>(summary->refused),
                static_cast<long long>(summary->failed),
                static_cast<long long>(result->freedBytes));
    return summary->complete(paths.size()) ? 0 : 1;
}
