# What `cpack` makes: from a Linux build a Debian package, from a Windows build
# a zip holding the program, a plain-text readme and the licence.
set(CPACK_PACKAGE_VENDOR "content_check maintainers")
set(CPACK_PACKAGE_CONTACT "content_check maintainers <maintainers@users.noreply.c-seed-22b38f3b.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tell whether a file holds any byte other than zero")
set(CPACK_STRIP_FILES ON)
# The times inside every package: see source_date.cmake.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)
set(CPACK_CONTENT_CHECK_SOURCE_DIR ${PROJECT_SOURCE_DIR})

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME content_check-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME content_check-${PROJECT_VERSION}-win32)
  endif()
  # The readme is the man page as plain text: see windows/readme.cmake.
  set(page ${PROJECT_SOURCE_DIR}/content_check/content_check.1)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/README.txt
    COMMAND ${CMAKE_COMMAND} -DPAGE=${page} -DREADME=${CMAKE_BINARY_DIR}/README.txt -P
            ${CMAKE_CURRENT_LIST_DIR}/windows/readme.cmake
    DEPENDS ${page} ${CMAKE_CURRENT_LIST_DIR}/windows/readme.cmake
    COMMENT "Setting the man page as the Windows README.txt")
  add_custom_target(windows_readme ALL DEPENDS ${CMAKE_BINARY_DIR}/README.txt)
  # Line ends that Notepad shows on every Windows.
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/windows/zip.cmake)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME content-check)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION
      "content_check asks for a file's name, examines the file and records the answer
as a single byte in a result file in the current directory: 0x01 when the file
holds a byte other than zero, 0x00 when it holds none or is empty. One line on
standard output names the outcome, and the exit status tells whether the
answer was stored.")
  # The man page gzipped, the copyright and the changelog go into the package
  # only: `cmake --install` leaves a plain page and no Debian files.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/docs.cmake)
  set(CPACK_CONTENT_CHECK_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
  set(CPACK_CONTENT_CHECK_MANDIR ${CMAKE_INSTALL_MANDIR})
  set(CPACK_CONTENT_CHECK_DOCDIR share/doc/${CPACK_DEBIAN_PACKAGE_NAME})
endif()

include(CPack)
