# Shared build helpers: warnings, sanitizers, and the one way every target links the core.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)
# Linear-time matching of callers' patterns over pages of any size.
pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)

if(TAVO_SANITIZE)
  set(_tavo_san "-fsanitize=${TAVO_SANITIZE}")
  if(TAVO_SANITIZE MATCHES "undefined")
    string(APPEND _tavo_san " -fno-sanitize-recover=undefined")
  endif()
  string(APPEND CMAKE_C_FLAGS " ${_tavo_san} -fno-omit-frame-pointer")
  string(APPEND CMAKE_CXX_FLAGS " ${_tavo_san} -fno-omit-frame-pointer")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${_tavo_san}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${_tavo_san}")
endif()

if(TAVO_LIBFUZZER)
  # Coverage in every object, the core included: otherwise libFuzzer sees
  # only the target's own file and mutates blind.
  string(APPEND CMAKE_C_FLAGS " -fsanitize=fuzzer-no-link")
  string(APPEND CMAKE_CXX_FLAGS " -fsanitize=fuzzer-no-link")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " -fsanitize=fuzzer-no-link")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " -fsanitize=fuzzer-no-link")
endif()

function(tavo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wold-style-cast -Wpedantic -Werror)
  if(TAVO_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12's flow analysis under the sanitizers reports false
    # maybe-uninitialized warnings inside <regex> and <functional>.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  # g++ 12 at -O3 (Release) reports false overlaps inside std::string's
  # assignment from a literal (GCC bug 105329).
  target_compile_options(${target} PRIVATE $<$<AND:$<CXX_COMPILER_ID:GNU>,$<CONFIG:Release>>:-Wno-restrict>)
endfunction()

# The core is a static archive linked whole (through tavo::core), so that the
# static registrars of operations survive even when no symbol of their source
# is referenced.
function(tavo_link_core target)
  target_link_libraries(${target} PRIVATE tavo::core)
endfunction()

# One interface target for every consumer, so the whole-archive feature is
# never mixed with a plain link of the same archive.
macro(tavo_define_core_interface)
  add_library(tavo-core-whole INTERFACE)
  target_link_libraries(tavo-core-whole INTERFACE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tavo-core>")
  add_library(tavo::core ALIAS tavo-core-whole)
endmacro()
