# Sanitizer builds. TALLYVIEW_SANITIZE names the sanitizers that every target of the project is
# compiled and linked with:
#
#   ""                    none (the normal build)
#   "address;undefined"   AddressSanitizer + UndefinedBehaviorSanitizer (gcc or clang)
#   "thread"              ThreadSanitizer (clang or gcc)
#
# Every report halts the program (-fno-sanitize-recover=all), so a test that triggers one fails.
# Qt itself comes uninstrumented from the distribution: its own code is not checked, and
# ThreadSanitizer does not see the synchronisation done inside it; scripts/tsan.supp and
# scripts/lsan.supp hold the few reports that this causes inside Qt's libraries.
#
# TALLYVIEW_FUZZ (clang only) builds the libFuzzer targets of fuzz/; without an explicit choice it
# implies "address;undefined", and fuzz/CMakeLists.txt adds the coverage instrumentation
# (-fsanitize=fuzzer-no-link) to the log service library.

set(_tallyview_known_sanitizers address undefined thread leak)

if(TALLYVIEW_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TALLYVIEW_FUZZ needs clang (libFuzzer): configure with "
                        "-DCMAKE_CXX_COMPILER=clang++ (found ${CMAKE_CXX_COMPILER_ID}).")
  endif()
  if(NOT TALLYVIEW_SANITIZE)
    # A plain variable: it shadows the empty cache entry for this configuration only.
    set(TALLYVIEW_SANITIZE "address;undefined")
  endif()
endif()

if(TALLYVIEW_SANITIZE)
  foreach(_sanitizer IN LISTS TALLYVIEW_SANITIZE)
    if(NOT _sanitizer IN_LIST _tallyview_known_sanitizers)
      message(FATAL_ERROR "TALLYVIEW_SANITIZE: unknown sanitizer \"${_sanitizer}\" "
                          "(known: ${_tallyview_known_sanitizers})")
    endif()
  endforeach()
  if("thread" IN_LIST TALLYVIEW_SANITIZE AND
     ("address" IN_LIST TALLYVIEW_SANITIZE OR "leak" IN_LIST TALLYVIEW_SANITIZE))
    message(FATAL_ERROR "TALLYVIEW_SANITIZE: thread cannot be combined with address or leak")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang|GNU")
    message(FATAL_ERROR "TALLYVIEW_SANITIZE needs gcc or clang (found ${CMAKE_CXX_COMPILER_ID})")
  endif()

  string(REPLACE ";" "," _tallyview_sanitize_list "${TALLYVIEW_SANITIZE}")
  set(_tallyview_sanitize_flags
      -fsanitize=${_tallyview_sanitize_list}
      -fno-sanitize-recover=all
      -fno-omit-frame-pointer
  )
  add_compile_options(${_tallyview_sanitize_flags})
  add_link_options(${_tallyview_sanitize_flags})
  # Readable stacks in reports without giving up the optimiser's view of the code.
  if(CMAKE_BUILD_TYPE STREQUAL "Release")
    add_compile_options(-g)
  endif()
  message(STATUS "Sanitizers: ${_tallyview_sanitize_list}")
endif()
