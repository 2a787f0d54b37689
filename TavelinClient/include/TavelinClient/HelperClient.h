#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TavelinClient/ClientError.h"
#include "TavelinClient/OperationResult.h"
#include "TavelinShared/Expected.h"

namespace tavelin {

// The name the installed daemon listens under.
inline constexpr std::string_view defaultHelperServiceName = "de.morvane.Tavelin.helper";

// How long each step may take unless the caller names another limit. Past it the call
// answers timedOut and the connection is closed; what the daemon had begun, it finishes.
//
// Connecting includes the daemon checking this program's signature: milliseconds, unless
// the daemon is stuck.
inline constexpr std::chrono::seconds defaultConnectTimeout{5};
inline constexpr std::chrono::seconds defaultVersionTimeout{5};
// An operation may first wait for the system's policy to ask the user for a password (the
// daemon gives that two minutes), then run: a removal of a large tree takes minutes, a
// system update hours (the daemon ends an update tool after six).
inline constexpr std::chrono::minutes defaultRemovalTimeout{15};
inline constexpr std::chrono::minutes defaultRepairTimeout{5};
inline constexpr std::chrono::hours defaultUpdateTimeout{7};
// No limit at all: the call waits as long as the daemon takes.
inline constexpr std::chrono::milliseconds noTimeout = std::chrono::milliseconds::max();

// True for the users a daemon may run as: root, and in a development build (one built
// without a trust anchor, or with TAVELIN_DEVELOPMENT_BUILD=ON) also the user who
// configured the build, since a developer runs the daemon under their own account. Any local user
// can bind a free abstract socket name, so this check is what tells the real daemon from an
// impostor.
[[nodiscard]] bool isTrustedDaemonUser(uid_t uid) noexcept;

// One admitted connection to the Tavelin helper daemon:
//
//   auto client = tavelin::HelperClient::connect();
//   if (!client) { report(client.error().text()); return; }
//   auto result = client->removeSystemPaths({"/var/cache/example"});
//
// Calls are made one at a time and block until the daemon has answered or their time limit
// has passed. Move-only; the connection closes when the client is destroyed.
//
// Not safe for concurrent use: one thread at a time. The process must not hand the socket
// to another process (the daemon closes a connection on which a frame arrives from any
// process but the admitted one); the descriptor is close-on-exec for that reason.
//
// After any error on a call (but invalidRequest, which sends nothing) the connection is
// closed and every later call answers connectionClosed; connect again for a fresh one.
// Writes never raise SIGPIPE.
class HelperClient {
  public:
    // Connects to the daemon listening on the abstract socket named `serviceName`, checks
    // that it runs as a trusted user (isTrustedDaemonUser), and waits for its hello, which
    // the daemon sends only once it has admitted this process. Connecting and the hello
    // together may take at most `timeout` (a listener that accepts but never greets, or
    // whose backlog is full, cannot hold the caller longer).
    // Errors:
    //   daemonNotRunning  - nobody listens under the name
    //   impostor          - the listener runs as an untrusted user (detail names pid, uid)
    //   connectionRefused - the daemon closed the connection instead of greeting: this
    //                       program's signature was not accepted
    //   protocolError     - the first frame was not a hello of protocol version 1
    //   timedOut          - the timeout passed before the hello arrived
    //   systemError       - anything else (name too long, out of descriptors, ...)
    [[nodiscard]] static Expected<HelperClient, ClientError> connect(
        std::string_view serviceName = defaultHelperServiceName,
        std::chrono::milliseconds timeout = defaultConnectTimeout);

    // The daemon's version string, e.g. "0.0.1".
    [[nodiscard]] Expected<std::string, ClientError> helperVersion(
        std::chrono::milliseconds timeout = defaultVersionTimeout);

    // Removes the given absolute paths (files, links or whole folders) where the daemon's
    // policy allows it. The result succeeds when the removal ran; readRemovalSummary on its
    // message tells how many paths were removed, refused or failed.
    [[nodiscard]] Expected<OperationResult, ClientError> removeSystemPaths(
        const std::vector<std::string>& paths,
        std::chrono::milliseconds timeout = defaultRemovalTimeout);

    // Gives the one item at `path` the mode 0755, where the daemon's policy allows it.
    [[nodiscard]] Expected<OperationResult, ClientError> repairPermissions(
        std::string_view path, std::chrono::milliseconds timeout = defaultRepairTimeout);

    // Has the system's update tool install the pending updates.
    [[nodiscard]] Expected<OperationResult, ClientError> installSystemUpdates(
        std::chrono::milliseconds timeout = defaultUpdateTimeout);

    // The typed calls' errors, beyond connectionClosed, timedOut and systemError:
    //   invalidRequest - a path is not valid UTF-8 (a request carries only UTF-8 text, and
    //                    another spelling would name another file), or the request is
    //                    larger than a frame may be; nothing was sent
    //   protocolError  - the answer is not a result document

    // Sends one request document as it stands, whatever it holds, and returns the daemon's
    // answer bytes unchanged: a result document, or zero bytes when the daemon could not
    // write its result. For tools that relay documents; applications use the calls above.
    // A request above the frame limit fails with invalidRequest without being sent.
    [[nodiscard]] Expected<std::string, ClientError> perform(
        std::string_view requestBytes, std::chrono::milliseconds timeout = defaultUpdateTimeout);

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

    [[nodiscard]] Expected<std::string, ClientError> call(Call which, std::string_view argument,
                                                          std::chrono::milliseconds timeout);
    [[nodiscard]] Expected<OperationResult, ClientError> performOperation(
        std::string_view request, std::chrono::milliseconds timeout);
    [[nodiscard]] Unexpected<ClientError> fail(Unexpected<ClientError> error);

    Socket socket_;
    pid_t daemonPid_ = 0;
    std::uint64_t nextCallId_ = 1;
};

}  // namespace tavelin
