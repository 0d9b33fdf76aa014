# The Windows program's resources: the manifest and the version information
# that Explorer shows in the file's properties.
enable_language(RC)
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
