#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "TavelinPlatform/channel/ChannelMessages.h"
#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// The front's end of the channel to the root monitor. Requests may be sent from any
// thread; replies are read and handed out on the event loop's thread.
class MonitorClient {
  public:
    struct Reply {
        channel::MonitorReply message;
        UniqueFd descriptor;  // the executable, or a long message's blob; may be invalid
    };
    // Runs on the loop thread with the reply, or with the error that ended the channel.
    using Handler = std::function<void(Expected<Reply, SystemError>)>;

    explicit MonitorClient(UniqueFd channel) : channel_(std::move(channel)) {}

    [[nodiscard]] int descriptor() const noexcept { return channel_.get(); }

    // Thread-safe. Sends `request` (with `descriptor` when the request carries one) and
    // keeps `handler` for its reply; fails (and drops the handler) when the send fails.
    [[nodiscard]] Status<SystemError> send(const channel::FrontRequest& request, int descriptor,
                                           Handler handler);
    // Thread-safe. A request the monitor does not answer (releasePeer).
    [[nodiscard]] Status<SystemError> notify(const channel::FrontRequest& request);

    // Thread-safe, for a thread other than the loop's: sends and waits for the reply.
    [[nodiscard]] Expected<Reply, SystemError> call(const channel::FrontRequest& request,
                                                    int descriptor);

    // On the loop thread: reads the next reply, if one waits, and runs its handler; one per
    // call, as the loop is woken again while more wait, which spares a read that finds
    // none. Fails when the channel broke (the monitor is gone or sent something the
    // layouts refuse); every pending handler has then been run with that error, and the
    // front must end.
    [[nodiscard]] Status<SystemError> receiveReply();

    // Fails every request still waiting for its reply (their handlers run now, with
    // ECANCELED) and refuses further ones: for a front shutting down, so that no thread
    // waits for a reply the loop will no longer read.
    void abandon();

  private:
    void failAll(const SystemError& error) EXCLUDES(mutex_);
    // Datagrams of several threads must not interleave: every send holds the lock.
    [[nodiscard]] Status<SystemError> sendLocked(std::string_view bytes, int descriptor)
        REQUIRES(mutex_);

    UniqueFd channel_;
    std::atomic<std::uint64_t> nextRequestId_{1};
    Mutex mutex_;
    std::unordered_map<std::uint64_t, Handler> handlers_ GUARDED_BY(mutex_);
    bool broken_ GUARDED_BY(mutex_) = false;
};

}  // namespace tavelin
