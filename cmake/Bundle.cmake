# Every platform gets the same bundle layout:
#   Veldra Cloud Desktop.app/Contents/{MacOS/<executable>, Info.plist, Resources/}
set(VELDRA_BUNDLE_NAME "Veldra Cloud Desktop.app")
set(VELDRA_EXECUTABLE_NAME "VeldraCloudDesktop")

# Writes Contents/Info.plist into BUNDLE_DIR for the given executable.
function(veldra_write_info_plist bundle_dir executable bundle_id version)
  set(VELDRA_PLIST_EXECUTABLE "${executable}")
  set(VELDRA_PLIST_BUNDLE_ID "${bundle_id}")
  set(VELDRA_PLIST_VERSION "${version}")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/Info.plist.in" "${bundle_dir}/Contents/Info.plist" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

set(VELDRA_FREERDP_CLIENT "" CACHE FILEPATH "A FreeRDP client executable to ship as Contents/MacOS/freerdp (empty: none)")

# What goes into a bundle has the modes a release needs, whatever the umask
# of the checkout or of the build: files 0644, executables and folders 0755.
# A group-writable entry would let other accounts of a shared Mac change the
# application, and clients refuse patches that carry one.
set(VELDRA_BUNDLE_MODES u=rwX,go=rX)
