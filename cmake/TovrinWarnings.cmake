# Warnings as errors on the project's own targets only (never on dependencies).
function(tovrin_set_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # GCC 12 reports std::optional<std::string> members as maybe-uninitialized at -O2
      # (a known false positive, GCC bug 105562); the other checks stay errors.
      target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
    endif()
  endif()
endfunction()
