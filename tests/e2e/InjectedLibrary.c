/* A library an unprivileged user gets loaded into the signed client: preloaded
 * (LD_PRELOAD) or as an audit module (LD_AUDIT), which the loader accepts only from a
 * library that answers la_version. That it is mapped at all must keep the client from
 * being admitted. When TAVELIN_INJECTED_PROOF names a file, loading creates it: a test
 * sees whether the loader ran this code at all. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void leaveProof(void) {
    const char* proof = getenv("TAVELIN_INJECTED_PROOF");
    if (proof != NULL) {
        int fd = open(proof, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
}

unsigned int la_version(unsigned int version) {
    return version;
}
