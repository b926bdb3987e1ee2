# Install rules and the Debian package of quellix.
# Included by the top-level CMakeLists.txt after the target `quellix` exists.
#
#   cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)

# This file lives in cmake/; everything it installs lives beside it.
get_filename_component(QUELLIX_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

install(TARGETS quellix RUNTIME DESTINATION bin)
install(FILES "${QUELLIX_SOURCE_ROOT}/doc/quellix.1"
        DESTINATION share/man/man1)
install(FILES "${QUELLIX_SOURCE_ROOT}/completions/quellix.bash"
        DESTINATION share/bash-completion/completions
        RENAME quellix)
# zsh looks in share/zsh/site-functions under /usr/local; Debian's zsh reads
# packaged completions from /usr/share/zsh/vendor-completions instead, so the
# package takes that copy and a plain install the other.
install(FILES "${QUELLIX_SOURCE_ROOT}/completions/_quellix"
        DESTINATION share/zsh/site-functions
        COMPONENT zsh_site_functions)
install(FILES "${QUELLIX_SOURCE_ROOT}/completions/_quellix"
        DESTINATION share/zsh/vendor-completions
        COMPONENT zsh_vendor_completions EXCLUDE_FROM_ALL)

# The Node.js agent that makes a stock node a kestrun runtime: the files of
# its npm package (entry file, package.json, README, lib/), not its tests.
set(QUELLIX_AGENT_DIR "${QUELLIX_SOURCE_ROOT}/agent")
if(EXISTS "${QUELLIX_AGENT_DIR}/kestrun-agent.js")
  install(FILES "${QUELLIX_AGENT_DIR}/kestrun-agent.js" "${QUELLIX_AGENT_DIR}/package.json"
                "${QUELLIX_AGENT_DIR}/README.md"
          DESTINATION share/quellix)
  install(DIRECTORY "${QUELLIX_AGENT_DIR}/lib/" DESTINATION share/quellix/lib
          FILES_MATCHING PATTERN "*.js")
endif()

# Debian package: `cpack -G DEB` in the build directory.
set(CPACK_GENERATOR "DEB")
# One package made of every component but the plain zsh one. Rules without
# a COMPONENT fall into Unspecified; a rule with a new component must be
# listed here, and every new file in test/install_test.sh's expected_files.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified zsh_vendor_completions)
set(CPACK_PACKAGE_NAME "quellix")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "quellix developers")
set(CPACK_PACKAGE_CONTACT "quellix developers <quellix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ask a running kestrun runtime to diagnose itself")
set(CPACK_PACKAGE_DESCRIPTION
    "quellix sends one diagnostic command to a running kestrun runtime (a\n\
Node.js runtime that serves a local control socket) named by its pid:\n\
write a heap snapshot, force a full garbage collection, switch logging\n\
on or off, record a CPU profile, heap timeline or heap profile for a\n\
given time, list the V8 flags, write a diagnostic report, or pass V8\n\
flags. The runtime writes the result files into its log directory.\n\
.\n\
The package also carries the manual page, bash and zsh completions and\n\
the Node.js agent that lets a stock node serve the control socket.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
if(NOT CPACK_DEBIAN_PACKAGE_MAINTAINER)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
endif()
# Depends: is computed from the binary's shared libraries (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
find_program(QUELLIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT QUELLIX_DPKG_SHLIBDEPS)
  message(STATUS "dpkg-shlibdeps not found (package dpkg-dev): cpack -G DEB will fail")
endif()
# The guard of --attach runs nft (quellix itself needs only libc).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "nftables")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, nodejs")
include(CPack)

# The top-level file includes this one before CTest; BUILD_TESTING comes
# from CTest, so make sure it is defined here (including CTest twice is
# harmless).
include(CTest)
if(BUILD_TESTING)
  add_test(NAME install_layout
           COMMAND bash "${QUELLIX_SOURCE_ROOT}/test/install_test.sh"
                   "${CMAKE_BINARY_DIR}" "${QUELLIX_SOURCE_ROOT}")
  set_tests_properties(install_layout PROPERTIES SKIP_RETURN_CODE 77)

  # Builds the .deb, installs it with dpkg, runs it and removes it again:
  # that changes the machine, so only when asked for (QUELLIX_DEB_TEST=1 in
  # the environment of the configure, as CI does), as root, where dpkg is.
  find_program(QUELLIX_DPKG dpkg)
  execute_process(COMMAND id -u OUTPUT_VARIABLE QUELLIX_UID
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if("$ENV{QUELLIX_DEB_TEST}" STREQUAL "1" AND QUELLIX_DPKG AND QUELLIX_UID STREQUAL "0")
    add_test(NAME deb_package
             COMMAND bash "${QUELLIX_SOURCE_ROOT}/test/install_test.sh" --deb
                     "${CMAKE_BINARY_DIR}" "${QUELLIX_SOURCE_ROOT}")
    set_tests_properties(deb_package PROPERTIES
                         LABELS slow SKIP_RETURN_CODE 77 TIMEOUT 300
                         RUN_SERIAL TRUE)
  endif()
endif()
