# An RPM of the statically linked program, for the Red Hat and SUSE families:
# with no C library to depend on, it installs on every release of them. The
# program, its manual page, the copyright file as the licence and the
# changelog in the package's own header (rpm -q --changelog), nothing that
# another package owns. Included from packaging.cmake by static builds.

# rpm's names for the processors the static presets build for.
set(rpm_arch_x86_64 x86_64)
set(rpm_arch_aarch64 aarch64)
set(rpm_arch_armv7l armv7hl)
set(rpm_arch_s390x s390x)

install(FILES packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/arpexport
  COMPONENT rpm EXCLUDE_FROM_ALL)
set(CPACK_COMPONENTS_ALL Unspecified rpm)
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_GENERATOR RPM)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT) # arpexport-VERSION-1.ARCH.rpm
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${rpm_arch_${CMAKE_SYSTEM_PROCESSOR}})
set(CPACK_PACKAGE_RELOCATABLE OFF)
# What packaging/copyright says.
set(CPACK_RPM_PACKAGE_LICENSE "All rights reserved")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
# RPM summaries start with a capital letter; Debian's do not.
string(SUBSTRING "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}" 0 1 first)
string(SUBSTRING "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}" 1 -1 rest)
string(TOUPPER "${first}" first)
set(CPACK_RPM_PACKAGE_SUMMARY "${first}${rest}")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_USER_FILELIST
  "%license /usr/share/licenses/arpexport/copyright")
# Directories that the distribution's filesystem package owns.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/share/man /usr/share/man/man1 /usr/share/licenses)
# Reproducible: the build time is SOURCE_DATE_EPOCH, every file's time no
# later than it, and no build host. No build-id links in /usr/lib, which
# several packages' files would share, and no post-install processing by
# this host's tools: the program is stripped, the page compressed already.
string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
  "%define _buildhost reproducible"
  "%define packager ${CPACK_PACKAGE_CONTACT}"
  "%define use_source_date_epoch_as_buildtime 1"
  "%define clamp_mtime_to_source_date_epoch 1"
  "%define _build_id_links none"
  "%define __os_install_post %{nil}"
  "%define debug_package %{nil}")

# The changelog in RPM's form, from the Debian one: each entry's heading
# "* Tue Dec 08 2026 NAME <MAIL> - VERSION-1", its items as "- " lines.
file(STRINGS packaging/changelog lines)
set(changelog "")
set(items "")
foreach(line IN LISTS lines)
  if(line MATCHES "^arpexport \\(([^)]+)\\)")
    set(version ${CMAKE_MATCH_1})
  elseif(line MATCHES "^  \\* (.*)")
    string(APPEND items "- ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^    (.*)")
    string(APPEND items "  ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^ -- (.*)  ([A-Z][a-z]+), ([0-9]+) ([A-Z][a-z]+) ([0-9]+) ")
    string(APPEND changelog "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} "
      "${CMAKE_MATCH_3} ${CMAKE_MATCH_5} ${CMAKE_MATCH_1} - ${version}-1\n"
      "${items}\n")
    set(items "")
  endif()
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog "${changelog}")
set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog)
