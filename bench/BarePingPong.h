#pragma once

#include <string>
#include <thread>

#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin::bench {

// The floor of a round trip: one thread echoes a reply of the reply frame's size for every
// call frame's worth of bytes, over a socketpair.
class BarePingPong {
  public:
    BarePingPong(std::string call, std::string reply);
    BarePingPong(const BarePingPong&) = delete;
    BarePingPong& operator=(const BarePingPong&) = delete;
    ~BarePingPong();

    void roundTrip();

  private:
    std::string call_;
    std::string reply_;
    UniqueFd near_;
    UniqueFd far_;
    std::thread echo_;
};

}  // namespace tavelin::bench
