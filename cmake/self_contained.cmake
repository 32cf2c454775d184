# What the shipped Linux binaries (the guard module, the service and the
# probe) need on a player's or operator's machine: glibc and nothing else.
# libcrypto, libstdc++ and libgcc go inside each, so one package installs on
# every Debian and Ubuntu release whose glibc is at least the build machine's
# (scripts/release-linux.sh builds in a Debian 11 userland for that). Only
# SHA-256 is taken from libcrypto, and --gc-sections drops what nothing
# reaches. The module's version script keeps all their symbols local, so a
# game with its own OpenSSL or C++ runtime sees none of them.
#
# Windows builds are always self-contained (-static in CMakeLists.txt).
#
# Sanitizer and fuzz builds are no product and keep the shared runtime: the
# sanitizers replace or intercept parts of libstdc++ (operator new and
# delete, its locks), which a private static copy would bypass.
if(VORN_SANITIZE OR VORN_FUZZ)
  set(vorn_self_contained_default OFF)
else()
  set(vorn_self_contained_default ON)
endif()
if(NOT WIN32)
  option(VORN_SELF_CONTAINED
         "Link libcrypto, libstdc++ and libgcc into the module, service and probe"
         ${vorn_self_contained_default})
endif()

if(VORN_SELF_CONTAINED)
  # libcrypto.a beside the shared libcrypto that find_package chose.
  get_filename_component(vorn_crypto_dir "${OPENSSL_CRYPTO_LIBRARY}" DIRECTORY)
  find_library(VORN_CRYPTO_STATIC_LIBRARY NAMES libcrypto.a
               HINTS ${vorn_crypto_dir} NO_DEFAULT_PATH)
  if(NOT VORN_CRYPTO_STATIC_LIBRARY)
    message(FATAL_ERROR "No libcrypto.a in ${vorn_crypto_dir}; install "
            "libssl-dev or set VORN_SELF_CONTAINED=OFF")
  endif()
  add_library(vorn_crypto_static STATIC IMPORTED)
  set_target_properties(vorn_crypto_static PROPERTIES
    IMPORTED_LOCATION ${VORN_CRYPTO_STATIC_LIBRARY})
  # What libcrypto.a itself needs (pkg-config --static libcrypto).
  target_link_libraries(vorn_crypto_static INTERFACE Threads::Threads
                        ${CMAKE_DL_LIBS})
endif()

# Makes TARGET need glibc only, when the build is self-contained.
function(vorn_link_self_contained target)
  if(NOT VORN_SELF_CONTAINED)
    return()
  endif()
  # Read by vorn_os_hash's link interface, which picks libcrypto.a for it.
  set_target_properties(${target} PROPERTIES VORN_STATIC_CRYPTO ON)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc
                      "LINKER:--gc-sections")
endfunction()
