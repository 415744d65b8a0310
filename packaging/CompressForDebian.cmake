# Run by CPack on its staging directory before it builds the package:
# compresses the man pages and the changelog as Debian ships them (gzip -9n:
# no name or time stamp, so that the package is reproducible).
find_program(QUORVANE_GZIP gzip REQUIRED)
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/*/changelog")
foreach(page IN LISTS pages changelogs)
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND "${QUORVANE_GZIP}" -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
