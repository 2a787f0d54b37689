# Stripped executables with their debug information beside them, as distributions ship
# them. Stripping happens right after the link and before signing, so a signed
# executable is never changed again. The Debian packages turn this off and strip with
# dh_strip instead, signing after it (debian/rules).
#
#   <exe>        stripped, with a .gnu_debuglink naming <exe>.debug
#   <exe>.debug  the symbols and DWARF, installed below /usr/lib/debug for gdb
#
# Sanitizer and fuzzer builds keep their symbols in place for their reports.
if(TAVELIN_SANITIZE OR TAVELIN_FUZZ)
    set(tavelinSplitDefault OFF)
else()
    set(tavelinSplitDefault ON)
endif()
option(TAVELIN_SPLIT_DEBUG_INFO "Strip executables into <exe> and <exe>.debug after linking"
    ${tavelinSplitDefault})
find_program(TAVELIN_OBJCOPY NAMES objcopy REQUIRED)

# Adds the split to `target`'s POST_BUILD steps; call it before any signing step.
function(tavelin_split_debug_info target)
    if(NOT TAVELIN_SPLIT_DEBUG_INFO)
        return()
    endif()
    get_target_property(alreadySplit ${target} TAVELIN_DEBUG_INFO_SPLIT)
    if(alreadySplit)
        return()
    endif()
    set_target_properties(${target} PROPERTIES TAVELIN_DEBUG_INFO_SPLIT ON)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${TAVELIN_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}>
                $<TARGET_FILE_NAME:${target}>.debug
        COMMAND ${TAVELIN_OBJCOPY} --strip-debug --strip-unneeded
                --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
                $<TARGET_FILE_NAME:${target}>
        WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
        COMMENT "Splitting the debug information off ${target}"
        VERBATIM)
endfunction()

# The file that holds `target`'s symbols: the debug file when split, else the executable.
function(tavelin_symbol_file target outputVariable)
    if(TAVELIN_SPLIT_DEBUG_INFO)
        set(${outputVariable} "$<TARGET_FILE:${target}>.debug" PARENT_SCOPE)
    else()
        set(${outputVariable} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    endif()
endfunction()

# Installs an executable to <destination> (relative to the prefix) in `component`, and
# its debug file to /usr/lib/debug/<full destination>/ in the component "debug", where
# gdb finds it through the debug link.
function(tavelin_install_executable target destination component)
    tavelin_split_debug_info(${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT ${component})
    if(TAVELIN_SPLIT_DEBUG_INFO)
        if(IS_ABSOLUTE "${destination}")
            set(fullDestination "${destination}")
        else()
            set(fullDestination "${CMAKE_INSTALL_PREFIX}/${destination}")
        endif()
        install(FILES $<TARGET_FILE:${target}>.debug
            DESTINATION lib/debug${fullDestination} COMPONENT debug)
    endif()
endfunction()
