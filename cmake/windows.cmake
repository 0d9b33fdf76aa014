# The Windows program's resources: the manifest and the version information
# that Explorer shows in the file's properties.
enable_language(RC)

# The oldest Windows each program runs on: XP SP3 for the 32-bit one, XP x64
# and Server 2003 for the 64-bit one. The headers then refuse a newer call,
# and the PE header says the same to the loader.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ARPEXPORT_WINNT 0x0501)
else()
  set(ARPEXPORT_WINNT 0x0502)
endif()
math(EXPR winnt_major "${ARPEXPORT_WINNT} >> 8")
math(EXPR winnt_minor "${ARPEXPORT_WINNT} & 0xFF")
target_compile_definitions(arpexport_platform PUBLIC
  _WIN32_WINNT=${ARPEXPORT_WINNT} WINVER=${ARPEXPORT_WINNT})
target_link_options(arpexport PRIVATE
  -Wl,--major-os-version,${winnt_major},--minor-os-version,${winnt_minor}
  -Wl,--major-subsystem-version,${winnt_major},--minor-subsystem-version,${winnt_minor})
# The version comes from project() alone.
set(ARPEXPORT_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/arpexport.manifest)
configure_file(port/win32/arpexport.manifest.in ${ARPEXPORT_MANIFEST} @ONLY)
configure_file(port/win32/arpexport.rc.in arpexport.rc @ONLY)
target_sources(arpexport PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/arpexport.rc)

# Runs Windows programs under Wine, with a prefix of this build's own.
# Whether Wine starts here at all is found out with the tests.
configure_file(scripts/wine-run.in wine-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
