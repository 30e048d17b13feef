# Sanitizer and fuzzing builds.
#
# ZK40_SANITIZE takes a comma list for -fsanitize= ("address,undefined" or
# "thread"). Every target is built with it, the modules included, so a fault
# in a module shows up in the process that loaded it. A sanitizer report
# stops the process (no recovery), so a test that trips one fails.
#
# ZK40_FUZZ builds the libFuzzer targets under fuzz/ (clang only). Every
# library is then compiled for coverage with -fsanitize=fuzzer-no-link plus
# address and undefined, and only the fuzz executables link the fuzzer's
# main.
set(ZK40_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address,undefined or thread")
option(ZK40_FUZZ "Build the libFuzzer targets under fuzz/ (clang)" OFF)

if(ZK40_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZK40_FUZZ needs clang (configure with CC=clang CXX=clang++)")
  endif()
  if(NOT ZK40_SANITIZE)
    set(ZK40_SANITIZE "address,undefined")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(ZK40_SANITIZE)
  add_compile_options(-fsanitize=${ZK40_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${ZK40_SANITIZE})
  if(ZK40_SANITIZE MATCHES "undefined")
    # A call through a pointer of another function type is how dlsym'd entry
    # points and Qt's slot objects work; the check has no use here and clang
    # needs RTTI on every side to make it.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      add_compile_options(-fno-sanitize=function,vptr)
    endif()
  endif()
endif()
