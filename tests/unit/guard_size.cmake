# The Linux guard module a game ships stays small: at most 256 KiB once
# stripped, its one digest taken from libcrypto without the EVP layer.
#   cmake -DSTRIP=<strip> -DMODULE=<libvorn_guard.so.1> -DOUT=<file> -P guard_size.cmake
execute_process(COMMAND ${STRIP} -o ${OUT} ${MODULE} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot strip ${MODULE}")
endif()
file(SIZE ${OUT} size)
if(size GREATER 262144)
  message(FATAL_ERROR "the stripped module has ${size} bytes, over 262144")
endif()
