# tavelin_sign_executable(<target>
#     [KEY <leaf-key.pem>] [CERTIFICATE <leaf.pem>] [CHAIN <intermediates.pem>]
#     [IDENTIFIER <id>])
#
# Signs the executable of <target> after every link, with tavelin-codesign (package
# tavelin-tools), so that the Tavelin helper admits it. The daemon admits one signing
# identifier, de.morvane.Tavelin, the default; the certificate must chain to the anchor
# the daemon was built to trust.
#
# KEY, CERTIFICATE and CHAIN default to the cache variables TAVELIN_SIGNING_KEY,
# TAVELIN_SIGNING_CERTIFICATE and TAVELIN_SIGNING_CHAIN, so a build names its identity once:
#   cmake -DTAVELIN_SIGNING_KEY=leaf-key.pem -DTAVELIN_SIGNING_CERTIFICATE=leaf.pem ...
# Without a key and certificate the target is left unsigned, with a message saying so.
#
# A signature covers the file as it is: strip before signing, never after (in a Debian
# package, sign in override_dh_strip after dh_strip).

set(TAVELIN_SIGNING_KEY "" CACHE FILEPATH "Private key that signs Tavelin clients (PEM)")
set(TAVELIN_SIGNING_CERTIFICATE "" CACHE FILEPATH "Certificate of TAVELIN_SIGNING_KEY (PEM)")
set(TAVELIN_SIGNING_CHAIN "" CACHE FILEPATH "Intermediate certificates (PEM, optional)")

function(tavelin_sign_executable target)
    cmake_parse_arguments(PARSE_ARGV 1 ARG "" "KEY;CERTIFICATE;CHAIN;IDENTIFIER" "")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tavelin_sign_executable: unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    foreach(setting KEY CERTIFICATE CHAIN)
        if(NOT ARG_${setting})
            set(ARG_${setting} "${TAVELIN_SIGNING_${setting}}")
        endif()
    endforeach()
    if(NOT ARG_IDENTIFIER)
        set(ARG_IDENTIFIER de.morvane.Tavelin)
    endif()
    if(NOT ARG_KEY OR NOT ARG_CERTIFICATE)
        message(STATUS "${target}: not signed (no TAVELIN_SIGNING_KEY and TAVELIN_SIGNING_CERTIFICATE)")
        return()
    endif()
    find_program(TAVELIN_CODESIGN tavelin-codesign REQUIRED)
    set(chain_arguments "")
    if(ARG_CHAIN)
        set(chain_arguments --chain "${ARG_CHAIN}")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${TAVELIN_CODESIGN}" sign --key "${ARG_KEY}" --cert "${ARG_CERTIFICATE}"
                ${chain_arguments} --identifier "${ARG_IDENTIFIER}" $<TARGET_FILE:${target}>
        COMMENT "Signing ${target} as ${ARG_IDENTIFIER}"
        VERBATIM)
endfunction()
