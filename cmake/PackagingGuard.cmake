# Read by cpack before it packages: a development build is never packaged.
if(CPACK_TAVELIN_DEVELOPMENT_BUILD AND NOT CPACK_TAVELIN_ALLOW_DEVELOPMENT_INSTALL)
    message(FATAL_ERROR "Refusing to package a development build: its daemon would trust "
        "the development anchor inside the build tree. Configure a release build with "
        "-DTAVELIN_TRUST_ANCHOR=<installed anchor path>.")
endif()
