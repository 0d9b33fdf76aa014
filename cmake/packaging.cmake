# Installation and packages: a Debian package of the Linux program with its
# manual page, and a ZIP of each Windows program with a short text on its use.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME arpexport)
set(CPACK_PACKAGE_VENDOR "arpexport developers")
set(CPACK_PACKAGE_CONTACT "arpexport developers <arpexport@example.org>")
# The description as apt shows it: its first line is the summary. The
# package check holds the built package's to this file, word for word:
# CPack's Debian generator turns a quoted " - " into ;-;, so the text shows
# the line format by an example instead of quoting it.
file(READ packaging/description.txt description)
string(FIND "${description}" "\n" summary_end)
string(SUBSTRING "${description}" 0 ${summary_end} CPACK_PACKAGE_DESCRIPTION_SUMMARY)
math(EXPR summary_end "${summary_end} + 1")
string(SUBSTRING "${description}" ${summary_end} -1 description)
string(STRIP "${description}" CPACK_PACKAGE_DESCRIPTION)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Named as Windows names its two kinds: x86 (32-bit), x64 (64-bit).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ARPEXPORT_WINDOWS_ARCH x86)
    set(ARPEXPORT_WINDOWS_BITS 32-bit)
    set(ARPEXPORT_WINDOWS_FOR [[
This is the 32-bit program. It runs on every Windows that runs 32-bit
programs: Windows XP SP3 and Server 2003 to Windows 11, 32- and 64-bit, and
Windows on ARM through its x86 emulation. A 64-bit Windows without WOW64,
its part for 32-bit programs (Windows PE; Server Core where it was
removed), cannot start it: take the x64 ZIP there.]])
  else()
    set(ARPEXPORT_WINDOWS_ARCH x64)
    set(ARPEXPORT_WINDOWS_BITS 64-bit)
    set(ARPEXPORT_WINDOWS_FOR [[
This is the 64-bit program, for 64-bit Windows on x64 processors from
Windows XP x64 and Server 2003 to Windows 11, also where 32-bit programs
cannot run: Windows PE, and Server Core without WOW64. On 32-bit Windows
take the x86 ZIP, which also runs on every 64-bit Windows with WOW64.]])
  endif()
  # The text's own lines are given CRLF; the paragraph above needs its own.
  string(REPLACE "\n" "\r\n" ARPEXPORT_WINDOWS_FOR "${ARPEXPORT_WINDOWS_FOR}")
  configure_file(packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS arpexport RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME
    "arpexport-${PROJECT_VERSION}-windows-${ARPEXPORT_WINDOWS_ARCH}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The staged copy is signed, when the release is, just before it is
  # packed: the build tree keeps the unsigned program.
  set(CPACK_ARPEXPORT_SIGN ${PROJECT_SOURCE_DIR}/scripts/sign)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/sign-staged.cmake)
else()
  # Debian wants manual pages and changelogs compressed, reproducibly. The
  # manual page's date is SOURCE_DATE_EPOCH's when it is set.
  string(TIMESTAMP ARPEXPORT_DATE "%Y-%m-%d" UTC)
  configure_file(doc/arpexport.1.in arpexport.1 @ONLY)
  add_custom_command(OUTPUT arpexport.1.gz changelog.gz
    COMMAND gzip -9nc arpexport.1 > arpexport.1.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
            > changelog.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/arpexport.1 packaging/changelog
    VERBATIM)
  add_custom_target(docs ALL DEPENDS arpexport.1.gz changelog.gz)

  install(TARGETS arpexport RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/arpexport.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  if(ARPEXPORT_STATIC)
    # The statically linked program goes into a tarball that runs on any
    # Linux (the program, its manual page and a short text) and an RPM.
    configure_file(packaging/README.linux.txt.in README.txt @ONLY)
    set(tarball
      arpexport-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}.tar.gz)
    add_custom_command(OUTPUT ${tarball}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/make-tarball ${CMAKE_STRIP}
        ${tarball} $<TARGET_FILE:arpexport> arpexport.1 README.txt
      DEPENDS arpexport ${CMAKE_CURRENT_BINARY_DIR}/arpexport.1
        ${CMAKE_CURRENT_BINARY_DIR}/README.txt scripts/make-tarball
      VERBATIM)
    add_custom_target(tarball DEPENDS ${tarball})
    include(cmake/rpm.cmake)
  else()
    # Debian's own files go into its package only, not into a plain install.
    install(FILES packaging/copyright
      ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
    set(CPACK_COMPONENTS_ALL Unspecified debian)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    if(CMAKE_CROSSCOMPILING)
      # Debian's names for the processors the cross toolchains build for.
      set(debian_arch_aarch64 arm64)
      set(debian_arch_armv7l armhf)
      set(debian_arch_s390x s390x)
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE
        ${debian_arch_${CMAKE_SYSTEM_PROCESSOR}})
      configure_file(cmake/cross-depends.cmake.in cross-depends.cmake.in @ONLY)
      file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/cross-depends.cmake
        INPUT ${CMAKE_CURRENT_BINARY_DIR}/cross-depends.cmake.in)
      set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cross-depends.cmake)
    else()
      set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    endif()
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  endif()
endif()
include(CPack)
