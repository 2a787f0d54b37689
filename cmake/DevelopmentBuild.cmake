# Development builds: a developer runs the daemon and its clients under their own account,
# so that user is compiled in as the one trusted besides root, by the client (a daemon
# running as that user) and by the daemon (files of that user may hold a client's code).
# Release builds (-DTAVELIN_DEVELOPMENT_BUILD=OFF) trust root only.
option(TAVELIN_DEVELOPMENT_BUILD
    "Trust the user who configured the build besides root (daemon account, client code)" ON)

if(TAVELIN_DEVELOPMENT_BUILD)
    execute_process(COMMAND id -u OUTPUT_VARIABLE TAVELIN_DEVELOPER_UID
        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE tavelinIdResult)
    if(NOT tavelinIdResult EQUAL 0 OR NOT TAVELIN_DEVELOPER_UID MATCHES "^[0-9]+$")
        message(FATAL_ERROR "TAVELIN_DEVELOPMENT_BUILD: cannot read the configuring user's uid")
    endif()
endif()

# Gives `target` TAVELIN_DEVELOPER_UID=<uid> in a development build, nothing otherwise.
function(tavelin_use_developer_uid target)
    if(TAVELIN_DEVELOPMENT_BUILD)
        target_compile_definitions(${target} PRIVATE TAVELIN_DEVELOPER_UID=${TAVELIN_DEVELOPER_UID})
    endif()
endfunction()
