# zk40_add_module(<target> [EXPORT_MAP <file>] <sources>...)
#
# Builds an action module: a shared object with the C entry points of
# include/zk40/module.h, with the file trailer the loader checks appended
# after every link by zk40-sign.
#
# The module is built so that the host can really unload it when it
# replaces the module's file: only the ZK entry points are exported (the
# version script EXPORT_MAP, by default Zk40ModuleExports.map beside this
# file), and GCC is told not to mark the C++ library's inline statics as
# unique symbols, which glibc never unloads. Without both, a module using
# as little as std::to_string would keep running its old code after an
# update until the program is restarted.
set(ZK40_DEFAULT_EXPORT_MAP ${CMAKE_CURRENT_LIST_DIR}/Zk40ModuleExports.map)

function(zk40_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ZKM "" "EXPORT_MAP" "")
  set(map ${ZK40_DEFAULT_EXPORT_MAP})
  if(ZKM_EXPORT_MAP)
    set(map ${ZKM_EXPORT_MAP})
  endif()
  add_library(${target} MODULE ${ZKM_UNPARSED_ARGUMENTS})
  target_include_directories(${target} PRIVATE ${ZK40_MODULE_INCLUDE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".so"
                        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANG_AND_ID:CXX,GNU>:-fno-gnu-unique>)
  target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${ZK40_SIGN_COMMAND} $<TARGET_FILE:${target}>
                     COMMENT "Signing action module ${target}")
  if(TARGET zk40-sign)
    add_dependencies(${target} zk40-sign)
  endif()
endfunction()
