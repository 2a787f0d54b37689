/* A library an unprivileged user gets loaded into the signed client: preloaded
 * (LD_PRELOAD) or as an audit module (LD_AUDIT), which the loader accepts only from a
 * library that answers la_version. Its code need not do anything: that it is mapped at all
 * must keep the client from being admitted. */
unsigned int la_version(unsigned int version) {
    return version;
}
