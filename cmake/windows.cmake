# The Windows program's resources: the manifest and the version information
# that Explorer shows in the file's properties.
enable_language(RC)
# The version comes from project() alone.
set(ARPEXPORT_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/arpexport.manifest)
configure_file(port/win32/arpexport.manifest.in ${ARPEXPORT_MANIFEST} @ONLY)
configure_file(port/win32/arpexport.rc.in arpexport.rc @ONLY)
target_sources(arpexport PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/arpexport.rc)

# Runs Windows programs under Wine, with a prefix of this build's own.
# Wine that cannot start here (a host without 32-bit support for a PE32
# build) is found out once, so its tests are reported as not run.
configure_file(scripts/wine-run.in wine-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
execute_process(COMMAND ${WINE_LOADER} --version
  RESULT_VARIABLE wine_result OUTPUT_QUIET ERROR_QUIET)
if(wine_result EQUAL 0)
  set(ARPEXPORT_WINE_RUNS ON)
else()
  set(ARPEXPORT_WINE_RUNS OFF)
  message(WARNING "${WINE_LOADER} cannot run on this host; the tests that "
    "run this build under Wine are disabled (the windows-x64 preset runs "
    "them under 64-bit Wine).")
endif()
