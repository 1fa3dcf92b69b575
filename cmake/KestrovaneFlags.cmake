# Language level and compiler flags shared by the extensions and the C++
# tests, so every build computes the same bits.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Release)
endif()

option(KESTROVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# Results must be identical bit for bit on every build: no FMA contraction,
# no fast-math, no host-specific instruction sets.
set(KESTROVANE_FLAGS -Wall -Wextra -ffp-contract=off -fno-math-errno)
if(KESTROVANE_SANITIZE)
  list(APPEND KESTROVANE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer
       -fno-sanitize-recover=undefined)
endif()

# Adds the shared flags (and the sanitizer runtime) to a target.
function(kestrovane_flags target)
  target_compile_options(${target} PRIVATE ${KESTROVANE_FLAGS})
  if(KESTROVANE_SANITIZE)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
