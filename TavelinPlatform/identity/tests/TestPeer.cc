// The peer process of the identity tests: it inherits its connection from the test that
// started it and waits until that test kills it. Started with arguments (a program and its
// arguments), it waits for a byte on standard input instead and then execs that program,
// so a test can make a peer exec at the moment of its choosing.
#include <unistd.h>

#include <cerrno>

// Bytes a test may flip after signing, to alter the file without breaking the program.
// Read at run time so that neither the compiler nor the linker drops them.
__attribute__((used)) static volatile const char patchArea[] = "TAVELIN-TEST-PEER-PATCH-AREA";

int main(int argc, char** argv) {
    if (argc > 1) {
        char byte = 0;
        ssize_t count = 0;
        while ((count = ::read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
        }
        if (count == 1) {
            ::execv(argv[1], argv + 1);
        }
        return 1;
    }
    while (patchArea[0] != '\0') {
        ::pause();
    }
    return 1;
}
