# Run by cpack after it installs into its staging directory and before it
# builds the Debian package: gzips the man page and adds the documents Debian
# asks of every package.
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(debian ${CPACK_CONTENT_CHECK_DEBIAN_DIR})

# The changelog's newest entry must be the version being packaged.
file(STRINGS ${debian}/changelog newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^${CPACK_DEBIAN_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "${debian}/changelog begins with '${newest}': "
                      "add an entry for ${CPACK_PACKAGE_VERSION} first")
endif()

set(docdir ${stage}/${CPACK_CONTENT_CHECK_DOCDIR})
file(COPY ${debian}/copyright ${debian}/changelog DESTINATION ${docdir}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# -n: no name or time stamp in the header, so that the package can be rebuilt
# byte for byte.
execute_process(COMMAND gzip -9nf ${docdir}/changelog ${stage}/${CPACK_CONTENT_CHECK_MANDIR}/man1/content_check.1
                COMMAND_ERROR_IS_FATAL ANY)

# Directories made on the way (usr/, share/doc/, ...) took the umask of whoever
# runs cpack; in the package every one of them is 0755.
file(CHMOD_RECURSE ${CPACK_TEMPORARY_INSTALL_DIRECTORY}
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                           WORLD_READ WORLD_EXECUTE)
