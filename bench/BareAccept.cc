#include "bench/BareAccept.h"

#include <sys/socket.h>
#include <unistd.h>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "bench/Comparison.h"

namespace tavelin::bench {

BareAccept::BareAccept() : name_("de.morvane.Tavelin.bench.accept." + std::to_string(::getpid())) {
    auto listening = listenOnAbstractName(name_);
    if (!listening) {
        fail("listen on " + name_ + ": " + listening.error().text());
    }
    listener_ = std::move(listening).value();
    acceptor_ = std::thread([this] {
        // Ends when the destructor shuts the listener down: accept fails then.
        for (auto accepted = acceptConnection(listener_.get()); accepted;
             accepted = acceptConnection(listener_.get())) {
            static_cast<void>(sendAll(accepted->get(), "H"));
        }
    });
}

BareAccept::~BareAccept() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
}

void BareAccept::connectAndWaitForGreeting() const {
    const auto connected = connectToAbstractName(name_);
    char greeting = 0;
    if (!connected || ::recv(connected->get(), &greeting, 1, 0) != 1) {
        fail("the bare listener did not answer");
    }
}

}  // namespace tavelin::bench
