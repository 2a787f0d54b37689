#pragma once

#include <string>
#include <thread>

#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin::bench {

// The floor of an admission: a listening unix socket (on an abstract name of its own, as
// the daemon's) whose thread accepts each connection, writes one byte in place of a
// greeting and closes it.
class BareAccept {
  public:
    BareAccept();
    BareAccept(const BareAccept&) = delete;
    BareAccept& operator=(const BareAccept&) = delete;
    ~BareAccept();

    // Connects, waits for the byte, closes.
    void connectAndWaitForGreeting() const;

  private:
    std::string name_;
    UniqueFd listener_;
    std::thread acceptor_;
};

}  // namespace tavelin::bench
