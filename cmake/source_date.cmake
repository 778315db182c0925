# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE). Every time stamp
# inside a package is the time of the last commit rather than the time of
# packing, so that two builds of one commit give the same package byte for
# byte, wherever they are built. The DEB generator takes its times from
# SOURCE_DATE_EPOCH, cmake/windows/zip.cmake does the same for the zip, and
# strip, which cpack runs, stamps a Windows program with it rather than with
# the time of stripping. A SOURCE_DATE_EPOCH given by the caller wins. Outside
# a git checkout the newest entry of the Debian changelog gives the time.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source ${CPACK_CONTENT_CHECK_SOURCE_DIR})
  execute_process(
    COMMAND git -C ${source} log -1 --format=%ct
    OUTPUT_VARIABLE epoch
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed
    ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    file(STRINGS ${source}/cmake/debian/changelog signatures REGEX "^ -- ")
    list(GET signatures 0 newest)
    string(REGEX REPLACE "^ -- [^>]*>  " "" date "${newest}")
    execute_process(
      COMMAND date -u -d "${date}" +%s
      OUTPUT_VARIABLE epoch
      OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
