#include "TavelinPlatform/journal/tests/JournalStandIn.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tavelin::testing {

JournalStandIn::JournalStandIn() {
    char pattern[] = "/tmp/tavelin-journal-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    directory_ = pattern;
    const std::string socketPath = directory_ + "/journal/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    socket_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::mkdir((directory_ + "/journal").c_str(), 0755) != 0 || !socket_ ||
        ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("journal stand-in socket: " + std::string(std::strerror(errno)));
    }
    // The daemon's front and its tests may run under other accounts.
    static_cast<void>(::chmod(socketPath.c_str(), 0666));
}

JournalStandIn::~JournalStandIn() {
    ::unlink((directory_ + "/journal/socket").c_str());
    ::rmdir((directory_ + "/journal").c_str());
    ::rmdir(directory_.c_str());
}

std::vector<JournalEntry> JournalStandIn::entries(int patienceMilliseconds) {
    pollfd ready{socket_.get(), POLLIN, 0};
    static_cast<void>(::poll(&ready, 1, patienceMilliseconds));
    std::vector<JournalEntry> received;
    std::string buffer(std::size_t{256} * 1024, '\0');
    for (;;) {
        const ssize_t count = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (count < 0) {
            return received;
        }
        received.push_back(parseJournalDatagram(std::string_view(buffer).substr(0, count)));
    }
}

JournalEntry parseJournalDatagram(std::string_view datagram) {
    JournalEntry entry;
    while (!datagram.empty()) {
        const std::size_t lineEnd = datagram.find('\n');
        const std::size_t equals = datagram.find('=');
        if (lineEnd == std::string_view::npos) {
            entry["!malformed"] = std::string(datagram);
            return entry;
        }
        if (equals < lineEnd) {
            entry[std::string(datagram.substr(0, equals))] =
                std::string(datagram.substr(equals + 1, lineEnd - equals - 1));
            datagram.remove_prefix(lineEnd + 1);
            continue;
        }
        const std::string name(datagram.substr(0, lineEnd));
        datagram.remove_prefix(lineEnd + 1);
        std::uint64_t length = 0;
        for (std::size_t index = 0; index < 8 && index < datagram.size(); ++index) {
            length |= std::uint64_t{static_cast<unsigned char>(datagram[index])} << (8 * index);
        }
        if (datagram.size() < 8 || datagram.size() - 8 < length + 1) {
            entry["!malformed"] = name;
            return entry;
        }
        entry[name] = std::string(datagram.substr(8, length));
        datagram.remove_prefix(8 + length + 1);
    }
    return entry;
}

std::string enterJournalStandIn(const std::string& directory) {
    if (::unshare(CLONE_NEWNS) != 0) {
        return "unshare: " + std::string(std::strerror(errno));
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(directory.c_str(), "/run/systemd", nullptr, MS_BIND, nullptr) != 0) {
        return "mount: " + std::string(std::strerror(errno));
    }
    return {};
}

std::string stderrJournalStream() {
    struct stat status {};
    if (::fstat(STDERR_FILENO, &status) != 0) {
        return {};
    }
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

}  // namespace tavelin::testing
