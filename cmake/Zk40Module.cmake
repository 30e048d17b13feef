# zk40_add_module(<target> <sources>...)
#
# Builds an action module: a shared object with the C entry points of
# include/zk40/module.h, with the file trailer the loader checks appended
# after every link by zk40-sign.
function(zk40_add_module target)
  add_library(${target} MODULE ${ARGN})
  target_include_directories(${target} PRIVATE ${ZK40_MODULE_INCLUDE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".so"
                        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${ZK40_SIGN_COMMAND} $<TARGET_FILE:${target}>
                     COMMENT "Signing action module ${target}")
  if(TARGET zk40-sign)
    add_dependencies(${target} zk40-sign)
  endif()
endfunction()
