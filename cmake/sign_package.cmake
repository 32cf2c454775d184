# Run by cpack before it packs (CPACK_PRE_BUILD_SCRIPTS): signs the staged
# programs of the ZIP when a certificate is configured, as the MSI's are
# (packaging/windows/sign.sh); stripping has happened by then. Nothing to do
# for a package without Windows programs.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.dll")
if(binaries)
  execute_process(COMMAND "${CPACK_VORN_SIGN_SCRIPT}" ${binaries}
                  RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "signing the package's programs failed")
  endif()
endif()
