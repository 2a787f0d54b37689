#include "bench/BarePingPong.h"

#include <sys/socket.h>

#include <utility>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "bench/Comparison.h"

namespace tavelin::bench {

namespace {

bool receiveExactly(int fd, char* buffer, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t count = ::recv(fd, buffer + done, size - done, 0);
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

BarePingPong::BarePingPong(std::string call, std::string reply)
    : call_(std::move(call)), reply_(std::move(reply)) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        fail("socketpair");
    }
    near_.reset(pair[0]);
    far_.reset(pair[1]);
    echo_ = std::thread([this] {
        std::string buffer(call_.size(), '\0');
        while (receiveExactly(far_.get(), buffer.data(), buffer.size()) &&
               sendAll(far_.get(), reply_)) {
        }
    });
}

BarePingPong::~BarePingPong() {
    ::shutdown(near_.get(), SHUT_RDWR);
    echo_.join();
}

void BarePingPong::roundTrip() {
    std::string buffer(reply_.size(), '\0');
    if (!sendAll(near_.get(), call_) ||
        !receiveExactly(near_.get(), buffer.data(), buffer.size())) {
        fail("ping-pong broke");
    }
}

}  // namespace tavelin::bench
