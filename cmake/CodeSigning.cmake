# The platform trust anchor and code signing of our own executables.
#
#   -DTAVELIN_TRUST_ANCHOR=/path/anchor.pem   a packaging build: the daemon trusts this
#                                             certificate and nothing else
#   (empty, the default)                      a development build: a development identity
#                                             is generated in the build tree at build time
#                                             and the daemon trusts its anchor
#
# The path is compiled into the daemon; no configuration file or environment variable
# changes it. Development keys stay in ${CMAKE_BINARY_DIR}/development-identity (inside
# the build tree, which git ignores) and are never installed.
#
# Executables are signed POST_BUILD with tavelin_sign_executable(<target>). A development
# build signs with the development leaf; a packaging build signs only if
# TAVELIN_SIGNING_KEY and TAVELIN_SIGNING_CERTIFICATE (and optionally
# TAVELIN_SIGNING_CHAIN) are given, and otherwise leaves signing to the packaging step.

set(TAVELIN_TRUST_ANCHOR "" CACHE FILEPATH
    "Platform trust anchor certificate (PEM); empty: generate a development identity")
set(TAVELIN_SIGNING_KEY "" CACHE FILEPATH "Private key to sign executables with (PEM)")
set(TAVELIN_SIGNING_CERTIFICATE "" CACHE FILEPATH "Leaf certificate of TAVELIN_SIGNING_KEY (PEM)")
set(TAVELIN_SIGNING_CHAIN "" CACHE FILEPATH "Intermediate certificates for signing (PEM, optional)")

# The client's signing identifier and team; they match PrivilegedHelperInfo.
set(TAVELIN_CLIENT_IDENTIFIER "de.morvane.Tavelin")
set(TAVELIN_CLIENT_TEAM "QH4T7R2KZ5")

set(TAVELIN_DEVELOPMENT_IDENTITY_DIR "${CMAKE_BINARY_DIR}/development-identity")
set(TAVELIN_DEVELOPMENT_ANCHOR "${TAVELIN_DEVELOPMENT_IDENTITY_DIR}/anchor.pem")
set(TAVELIN_DEVELOPMENT_ANCHOR_KEY "${TAVELIN_DEVELOPMENT_IDENTITY_DIR}/anchor-key.pem")
set(TAVELIN_DEVELOPMENT_LEAF "${TAVELIN_DEVELOPMENT_IDENTITY_DIR}/leaf.pem")
set(TAVELIN_DEVELOPMENT_LEAF_KEY "${TAVELIN_DEVELOPMENT_IDENTITY_DIR}/leaf-key.pem")

if(TAVELIN_TRUST_ANCHOR)
    set(TAVELIN_PLATFORM_TRUST_ANCHOR "${TAVELIN_TRUST_ANCHOR}")
    set(TAVELIN_SIGN_KEY "${TAVELIN_SIGNING_KEY}")
    set(TAVELIN_SIGN_CERTIFICATE "${TAVELIN_SIGNING_CERTIFICATE}")
    set(TAVELIN_SIGN_CHAIN "${TAVELIN_SIGNING_CHAIN}")
    message(STATUS "Platform trust anchor: ${TAVELIN_PLATFORM_TRUST_ANCHOR}")
else()
    set(TAVELIN_PLATFORM_TRUST_ANCHOR "${TAVELIN_DEVELOPMENT_ANCHOR}")
    set(TAVELIN_SIGN_KEY "${TAVELIN_DEVELOPMENT_LEAF_KEY}")
    set(TAVELIN_SIGN_CERTIFICATE "${TAVELIN_DEVELOPMENT_LEAF}")
    set(TAVELIN_SIGN_CHAIN "")
    message(STATUS "Platform trust anchor: development identity in ${TAVELIN_DEVELOPMENT_IDENTITY_DIR}")
endif()

# Generated once per build tree and then kept: a rebuilt tavelin-codesign must not make a
# new anchor under executables signed with the old one. tavelin-codesign is defined in
# tools/; the target dependency only orders the build.
add_custom_command(
    OUTPUT ${TAVELIN_DEVELOPMENT_ANCHOR} ${TAVELIN_DEVELOPMENT_ANCHOR_KEY}
           ${TAVELIN_DEVELOPMENT_LEAF} ${TAVELIN_DEVELOPMENT_LEAF_KEY}
    COMMAND $<TARGET_FILE:tavelin-codesign> create-identity
            --out ${TAVELIN_DEVELOPMENT_IDENTITY_DIR} --ou ${TAVELIN_CLIENT_TEAM}
    COMMENT "Creating the development signing identity"
    VERBATIM)
add_custom_target(tavelin_development_identity
    DEPENDS ${TAVELIN_DEVELOPMENT_ANCHOR} ${TAVELIN_DEVELOPMENT_ANCHOR_KEY}
            ${TAVELIN_DEVELOPMENT_LEAF} ${TAVELIN_DEVELOPMENT_LEAF_KEY})
add_dependencies(tavelin_development_identity tavelin-codesign)

# Compile definitions naming the anchor and the development identity, for the daemon
# and for tests that want the build's own identity.
function(tavelin_use_trust_anchor target)
    target_compile_definitions(${target} PRIVATE
        TAVELIN_PLATFORM_TRUST_ANCHOR="${TAVELIN_PLATFORM_TRUST_ANCHOR}"
        TAVELIN_DEVELOPMENT_ANCHOR="${TAVELIN_DEVELOPMENT_ANCHOR}"
        TAVELIN_DEVELOPMENT_LEAF="${TAVELIN_DEVELOPMENT_LEAF}"
        TAVELIN_DEVELOPMENT_LEAF_KEY="${TAVELIN_DEVELOPMENT_LEAF_KEY}")
    if(NOT TAVELIN_TRUST_ANCHOR)
        add_dependencies(${target} tavelin_development_identity)
    endif()
endfunction()

# tavelin_sign_executable(<target> [IDENTIFIER <id>]): signs the built executable in place
# after every link. Re-signing replaces the block, so the step is idempotent.
function(tavelin_sign_executable target)
    cmake_parse_arguments(ARG "" "IDENTIFIER" "" ${ARGN})
    if(NOT ARG_IDENTIFIER)
        set(ARG_IDENTIFIER "${TAVELIN_CLIENT_IDENTIFIER}")
    endif()
    # A signature covers the file as it is: strip first, never after.
    tavelin_split_debug_info(${target})
    if(NOT TAVELIN_SIGN_KEY OR NOT TAVELIN_SIGN_CERTIFICATE)
        message(STATUS "${target}: not signed at build time (no TAVELIN_SIGNING_KEY/CERTIFICATE)")
        return()
    endif()
    set(chain_arguments "")
    if(TAVELIN_SIGN_CHAIN)
        set(chain_arguments --chain "${TAVELIN_SIGN_CHAIN}")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND $<TARGET_FILE:tavelin-codesign> sign
                --key "${TAVELIN_SIGN_KEY}" --cert "${TAVELIN_SIGN_CERTIFICATE}" ${chain_arguments}
                --identifier "${ARG_IDENTIFIER}" $<TARGET_FILE:${target}>
        COMMENT "Signing ${target} as ${ARG_IDENTIFIER}"
        VERBATIM)
    add_dependencies(${target} tavelin-codesign)
    if(NOT TAVELIN_TRUST_ANCHOR)
        add_dependencies(${target} tavelin_development_identity)
    endif()
endfunction()
