# Warnings for our own targets only; third-party code keeps its own flags.
function(quilvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(QUILVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
