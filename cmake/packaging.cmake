# What `cmake --install` puts in place, and the packages that CPack makes of it: a zip of
# dorvane.exe with README and LICENSE for Windows; for Linux the binary, its manual page
# and the Debian documentation files, as a .tar.gz and a .deb.
set(CPACK_PACKAGE_VENDOR "the dorvane developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run a program and wait for every process it starts")
# Lines of the Debian description stay within 80 columns; CPack does not wrap them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "dorvane runs one program and waits until that program and every process it\n"
       "starts, directly or through its descendants, have ended. It writes a line for\n"
       "each process that joins and for each that ends, with its exit code, then exits\n"
       "with the root program's exit code.\n"
       "\n"
       "It is for build systems, CI jobs and people at a console that must not go on\n"
       "while anything started on a program's behalf still runs. It follows the tree\n"
       "with eBPF where it may load it (root, or the file capabilities that\n"
       "dorvane(1) describes, which this package does not set) and with ptrace\n"
       "otherwise.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS dorvane RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  include(GNUInstallDirs)

  # Debian ships manual pages and changelogs compressed, without a name or time stamp in
  # the gzip header so that the same sources give the same package.
  function(dorvane_gzip input output)
    execute_process(COMMAND gzip -9n -c ${input} OUTPUT_FILE ${output}
                    COMMAND_ERROR_IS_FATAL ANY)
  endfunction()

  configure_file(doc/dorvane.1.in dorvane.1 @ONLY)
  dorvane_gzip(${CMAKE_CURRENT_BINARY_DIR}/dorvane.1 ${CMAKE_CURRENT_BINARY_DIR}/dorvane.1.gz)

  # The changelog is kept by hand; a version raised without an entry would ship a package
  # whose changelog contradicts it.
  file(STRINGS doc/changelog newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^dorvane \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "doc/changelog: the newest entry is not for ${PROJECT_VERSION}")
  endif()
  configure_file(doc/changelog changelog COPYONLY)
  dorvane_gzip(${CMAKE_CURRENT_BINARY_DIR}/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)

  install(TARGETS dorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dorvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the dorvane developers <dorvane@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends comes from the libraries the binary links, as dpkg-shlibdeps finds them. The
  # package sets no file capabilities: that is the administrator's choice (see README).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
