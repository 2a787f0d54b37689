# Development builds: a developer runs the daemon and its clients under their own account,
# so that user is compiled in as the one trusted besides root, by the client (a daemon
# running as that user) and by the daemon (files of that user may hold a client's code).
# Release builds trust root only.
#
#   TAVELIN_DEVELOPMENT_BUILD=ON    always a development build
#   TAVELIN_DEVELOPMENT_BUILD=OFF   always a release build
#   (empty, the default)            a release build as soon as a trust anchor is given
#                                   (TAVELIN_TRUST_ANCHOR), a development build otherwise
#
# Only an explicit ON makes a build with a real anchor trust the builder: a packager who
# names the anchor never ships a client that believes a daemon run by whoever built it.
set(TAVELIN_DEVELOPMENT_BUILD "" CACHE STRING
    "ON: trust the user who configured the build besides root; OFF: root only; empty: OFF when TAVELIN_TRUST_ANCHOR is set")
set_property(CACHE TAVELIN_DEVELOPMENT_BUILD PROPERTY STRINGS "" ON OFF)

if(TAVELIN_DEVELOPMENT_BUILD STREQUAL "")
    if(TAVELIN_TRUST_ANCHOR)
        set(TAVELIN_IS_DEVELOPMENT_BUILD OFF)
    else()
        set(TAVELIN_IS_DEVELOPMENT_BUILD ON)
    endif()
elseif(TAVELIN_DEVELOPMENT_BUILD)
    set(TAVELIN_IS_DEVELOPMENT_BUILD ON)
else()
    set(TAVELIN_IS_DEVELOPMENT_BUILD OFF)
endif()

if(TAVELIN_IS_DEVELOPMENT_BUILD)
    execute_process(COMMAND id -u OUTPUT_VARIABLE TAVELIN_DEVELOPER_UID
        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE tavelinIdResult)
    if(NOT tavelinIdResult EQUAL 0 OR NOT TAVELIN_DEVELOPER_UID MATCHES "^[0-9]+$")
        message(FATAL_ERROR "TAVELIN_DEVELOPMENT_BUILD: cannot read the configuring user's uid")
    endif()
    message(STATUS "Development build: uid ${TAVELIN_DEVELOPER_UID} is trusted besides root")
else()
    message(STATUS "Release build: only root is trusted")
endif()

# Gives `target` TAVELIN_DEVELOPER_UID=<uid> in a development build, nothing otherwise.
function(tavelin_use_developer_uid target)
    if(TAVELIN_IS_DEVELOPMENT_BUILD)
        target_compile_definitions(${target} PRIVATE TAVELIN_DEVELOPER_UID=${TAVELIN_DEVELOPER_UID})
    endif()
endfunction()

# A development build trusts an anchor whose keys lie in its build tree and a uid that is
# nobody's business on another machine: installing it anywhere but into its own tree is
# refused. TAVELIN_ALLOW_DEVELOPMENT_INSTALL=ON overrides that for a developer's own
# machine, with a warning on every install.
option(TAVELIN_ALLOW_DEVELOPMENT_INSTALL
    "Allow installing a development build outside its build tree" OFF)
if(TAVELIN_IS_DEVELOPMENT_BUILD)
    install(CODE "
        set(tavelinTarget \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
        set(tavelinBuildTree \"${CMAKE_BINARY_DIR}\")
        cmake_path(IS_PREFIX tavelinBuildTree \"\${tavelinTarget}\" NORMALIZE tavelinInside)
        if(NOT tavelinInside)
            if(${TAVELIN_ALLOW_DEVELOPMENT_INSTALL})
                message(WARNING \"Installing a DEVELOPMENT build to \${tavelinTarget}: its daemon trusts the development anchor in ${CMAKE_BINARY_DIR} and uid ${TAVELIN_DEVELOPER_UID}. Never do this on a machine other users log in to.\")
            else()
                message(FATAL_ERROR \"Refusing to install a development build to \${tavelinTarget}: its daemon would trust the development anchor in ${CMAKE_BINARY_DIR} (whose keys anyone with the build tree holds) and uid ${TAVELIN_DEVELOPER_UID}. Configure a release build with -DTAVELIN_TRUST_ANCHOR=<anchor>, or pass -DTAVELIN_ALLOW_DEVELOPMENT_INSTALL=ON to install it anyway.\")
            endif()
        endif()
    " ALL_COMPONENTS)
endif()
