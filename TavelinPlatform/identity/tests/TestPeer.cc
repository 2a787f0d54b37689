// The peer process of the identity tests: it inherits its connection from the test that
// started it and waits until that test kills it.
#include <unistd.h>

// Bytes a test may flip after signing, to alter the file without breaking the program.
// Read at run time so that neither the compiler nor the linker drops them.
__attribute__((used)) static volatile const char patchArea[] = "TAVELIN-TEST-PEER-PATCH-AREA";

int main() {
    while (patchArea[0] != '\0') {
        ::pause();
    }
    return 1;
}
