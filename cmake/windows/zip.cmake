# Run by cpack after it has made the zip and before it copies it out: makes
# the zip again with Info-ZIP's zip. cpack's own zip records each file's
# access and change times and its owner beside its modification time, and
# those differ from build to build. Here every entry is stamped with
# SOURCE_DATE_EPOCH (see cmake/source_date.cmake), the entries go in name
# order, and no extra field (times, uid, gid) is stored, so that two builds of
# one commit give the same zip.
find_program(zip_program zip NO_CACHE)
if(NOT zip_program)
  message(FATAL_ERROR "cpack needs Info-ZIP's zip to make the Windows zip reproducibly "
                      "(apt-get install zip)")
endif()

# The staged folder, named as the zip's top folder.
cmake_path(GET CPACK_TEMPORARY_DIRECTORY PARENT_PATH parent)
file(GLOB_RECURSE entries LIST_DIRECTORIES false RELATIVE ${parent} ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT entries)
list(JOIN entries "\n" listing)
set(listing_file ${CPACK_TOPLEVEL_DIRECTORY}/zip-entries.txt)
file(WRITE ${listing_file} "${listing}\n")
execute_process(COMMAND touch -h -d @$ENV{SOURCE_DATE_EPOCH} ${entries} WORKING_DIRECTORY ${parent}
                COMMAND_ERROR_IS_FATAL ANY)

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(REMOVE ${package})
  # -X: no extra fields; -D: no entries for folders; the DOS time of each
  # entry is local time, so the zone is fixed.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${zip_program} -q -X -D ${package} -@
    INPUT_FILE ${listing_file}
    WORKING_DIRECTORY ${parent} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
