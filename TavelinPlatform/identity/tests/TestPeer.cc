// The peer process of the identity tests: connects to the abstract-namespace socket named
// by its one argument, then waits until the test closes the connection or kills it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

// Bytes a test may flip after signing, to alter the file without breaking the program.
// Read at run time so that neither the compiler nor the linker drops them.
__attribute__((used)) static volatile const char patchArea[] = "TAVELIN-TEST-PEER-PATCH-AREA";

int main(int argc, char** argv) {
    if (argc != 2 || patchArea[0] == '\0') {
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 3;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t nameLength = std::strlen(argv[1]);
    if (nameLength + 1 > sizeof address.sun_path) {
        return 4;
    }
    std::memcpy(address.sun_path + 1, argv[1], nameLength);  // leading NUL: abstract name
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + nameLength);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return 5;
    }
    char byte = 0;
    ssize_t count = 0;
    do {
        count = ::read(fd, &byte, 1);
    } while (count < 0 && errno == EINTR);
    ::close(fd);
    return 0;
}
