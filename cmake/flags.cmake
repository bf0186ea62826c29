# One interface target carries the warnings and hardening flags of every Tavra target.
add_library(tavra_flags INTERFACE)
target_compile_options(tavra_flags INTERFACE
  -Wall -Wextra -Wnon-virtual-dtor -Wno-missing-field-initializers -fstack-protector-strong
  # gcc's -Wshadow=local has no clang spelling; clang gets the nearest equivalent.
  $<IF:$<CXX_COMPILER_ID:GNU>,-Wshadow=local,-Wshadow-uncaptured-local>)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  target_compile_definitions(tavra_flags INTERFACE _FORTIFY_SOURCE=2)
endif()
target_link_options(tavra_flags INTERFACE -Wl,-z,relro -Wl,-z,now)
# At -O2 and above gcc 12 reports false -Wrestrict inside std::string (GCC bug 105329) and false
# -Wmaybe-uninitialized inside std::variant, all of them in library code; optimised gcc 12 builds
# leave these two out (unoptimised builds do not run these analyses at all).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13
   AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  target_compile_options(tavra_flags INTERFACE -Wno-restrict -Wno-maybe-uninitialized)
endif()
if(TAVRA_WERROR)
  target_compile_options(tavra_flags INTERFACE -Werror)
endif()
if(TAVRA_SANITIZE)
  target_compile_options(tavra_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tavra_flags INTERFACE -fsanitize=address,undefined)
endif()
if(TAVRA_TSAN)
  if(TAVRA_SANITIZE OR TAVRA_FUZZ)
    message(FATAL_ERROR "TAVRA_TSAN cannot be combined with TAVRA_SANITIZE or TAVRA_FUZZ")
  endif()
  target_compile_options(tavra_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tavra_flags INTERFACE -fsanitize=thread)
endif()
if(TAVRA_FUZZ)
  target_compile_options(tavra_flags INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
  target_link_options(tavra_flags INTERFACE -fsanitize=address,undefined)
endif()
