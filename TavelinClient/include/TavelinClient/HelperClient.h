#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "TavelinClient/ClientError.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {

// True for the users a daemon may run as: root, and in a development build (one built
// without a trust anchor, or with TAVELIN_DEVELOPMENT_BUILD=ON) also the user who
// configured the build, since a developer runs the daemon under their own account. Any local user
// can bind a free abstract socket name, so this check is what tells the real daemon from an
// impostor.
[[nodiscard]] bool isTrustedDaemonUser(uid_t uid) noexcept;

// One admitted connection to the Tavelin helper daemon. Calls are made one at a time and
// block until the daemon has answered; there is no time limit (an update may take many
// minutes). Move-only; the connection closes when the client is destroyed.
//
// Not safe for concurrent use: one thread at a time. The process must not hand the socket
// to another process (the daemon closes a connection on which a frame arrives from any
// process but the admitted one); the descriptor is close-on-exec for that reason.
//
// After any error on a call the connection is closed and every later call answers
// connectionClosed; connect again for a fresh one. Writes never raise SIGPIPE.
class HelperClient {
  public:
    // Connects to the daemon listening on the abstract socket named `serviceName`, checks
    // that it runs as a trusted user (isTrustedDaemonUser), and waits for its hello, which
    // the daemon sends only once it has admitted this process. With a `timeout`, connecting
    // and the hello together may take at most that long (a listener that accepts but never
    // greets, or whose backlog is full, cannot hold the caller); without one they may take
    // as long as the daemon needs. The calls made later have no time limit either way.
    // Errors:
    //   daemonNotRunning  - nobody listens under the name
    //   impostor          - the listener runs as an untrusted user (detail names pid, uid)
    //   connectionRefused - the daemon closed the connection instead of greeting: this
    //                       program's signature was not accepted
    //   protocolError     - the first frame was not a hello of protocol version 1
    //   timedOut          - the timeout passed before the hello arrived
    //   systemError       - anything else (name too long, out of descriptors, ...)
    [[nodiscard]] static Expected<HelperClient, ClientError> connect(
        std::string_view serviceName = PrivilegedHelperInfo::machServiceName,
        std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // The daemon's version string, e.g. "0.0.1".
    [[nodiscard]] Expected<std::string, ClientError> helperVersion();

    // Sends one request (the JSON of a PrivilegedOperation, sent unchanged, whatever it
    // holds) and returns the daemon's answer bytes unchanged: the JSON of a
    // PrivilegedResult, or zero bytes. Requests above the frame limit fail with
    // protocolError without being sent.
    [[nodiscard]] Expected<std::string, ClientError> perform(std::string_view requestBytes);

    // The process id of the daemon as recorded at connect time.
    [[nodiscard]] pid_t daemonPid() const noexcept { return daemonPid_; }

  private:
    // Owns the connection's descriptor and closes it when destroyed; -1 means none.
    class Socket {
      public:
        Socket() noexcept = default;
        explicit Socket(int fd) noexcept : fd_(fd) {}
        Socket(const Socket&) = delete;
        Socket& operator=(const Socket&) = delete;
        Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
        Socket& operator=(Socket&& other) noexcept;
        ~Socket();

        [[nodiscard]] int get() const noexcept { return fd_; }
        [[nodiscard]] bool open() const noexcept { return fd_ >= 0; }
        void close() noexcept;

      private:
        int fd_ = -1;
    };

    enum class Call { helperVersion, perform };

    HelperClient(Socket socket, pid_t daemonPid) noexcept
        : socket_(std::move(socket)), daemonPid_(daemonPid) {}

    [[nodiscard]] Expected<std::string, ClientError> call(Call which, std::string_view argument);
    [[nodiscard]] Unexpected<ClientError> fail(Unexpected<ClientError> error);

    Socket socket_;
    pid_t daemonPid_ = 0;
    std::uint64_t nextCallId_ = 1;
};

}  // namespace tavelin
