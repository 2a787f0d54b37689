# cmake -DSCDOC=<scdoc> -DGZIP=<gzip> -DSOURCE=<page.scd> -DPAGE=<out> -P RenderManPage.cmake
#
# Writes <out> (roff) and <out>.gz. Each output appears whole or not at all, so an
# interrupted build never leaves a page behind that a later build would take as done.
# scdoc dates the page from SOURCE_DATE_EPOCH when the environment sets it.
execute_process(COMMAND ${SCDOC}
    INPUT_FILE ${SOURCE} OUTPUT_FILE ${PAGE}.tmp
    RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
    file(REMOVE ${PAGE}.tmp)
    message(FATAL_ERROR "scdoc ${SOURCE}: ${errors} (status ${status})")
endif()
# scdoc turns hyphenation off before .TH, which switches it on again; a name such as
# de.morvane.Tavelin.helper must never be broken at a hyphen that is not its own.
file(READ ${PAGE}.tmp roff)
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" roff "${roff}")
file(WRITE ${PAGE}.tmp "${roff}")
file(RENAME ${PAGE}.tmp ${PAGE})

# -n: no name or time stamp in the header, so the same page compresses to the same bytes.
execute_process(COMMAND ${GZIP} -9 -n -c
    INPUT_FILE ${PAGE} OUTPUT_FILE ${PAGE}.gz.tmp
    RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    file(REMOVE ${PAGE}.gz.tmp)
    message(FATAL_ERROR "gzip ${PAGE}: ${errors} (status ${status})")
endif()
file(RENAME ${PAGE}.gz.tmp ${PAGE}.gz)
