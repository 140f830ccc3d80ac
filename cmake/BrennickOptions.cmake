# Warnings, sanitizers and fuzzing instrumentation shared by every target.
add_compile_options(-Wall -Wextra -Wpedantic)

# Debian's hardening (what dpkg-buildflags gives, with bindnow) for the optimised builds, which are
# the ones packaged: _FORTIFY_SOURCE works only with the optimiser on. Sanitizer and fuzzing builds
# check more than this by themselves and stay as they are.
if(NOT BRENNICK_SANITIZE AND NOT BRENNICK_FUZZ)
  set(_brennick_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  add_compile_options(-fstack-protector-strong -Werror=format-security
                      "$<${_brennick_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options("$<${_brennick_optimised}:LINKER:-z,relro,-z,now>")
endif()

if(BRENNICK_SANITIZE)
  string(REPLACE ";" "," _brennick_san "${BRENNICK_SANITIZE}")
  add_compile_options(-fsanitize=${_brennick_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_brennick_san})
endif()

if(BRENNICK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "BRENNICK_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# brennick_add_gtest(name SOURCES ... LIBS ... [LABELS ...]): one GoogleTest executable, one ctest entry.
# Suites labelled jack or e2e start JACK servers: they run with a /dev/shm of their own.
function(brennick_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    BRENNICK_SOURCE_DIR="${PROJECT_SOURCE_DIR}" BRENNICK_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if("jack" IN_LIST ARG_LABELS OR "e2e" IN_LIST ARG_LABELS)
    add_test(NAME ${name} COMMAND bash ${PROJECT_SOURCE_DIR}/tests/support/private_shm.sh $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}" SKIP_RETURN_CODE 77)
endfunction()

# brennick_add_fuzzer(name SOURCE file SEEDS dir LIBS ...): a libFuzzer target. Without BRENNICK_FUZZ
# the same entry point is linked to a driver that replays the seed corpus, so every build's ctest
# runs each target over its seeds.
function(brennick_add_fuzzer name)
  cmake_parse_arguments(ARG "" "SOURCE;SEEDS" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCE})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(BRENNICK_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(_runs -runs=0)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/corpus_driver.cpp)
    set(_runs)
  endif()
  if(BRENNICK_BUILD_TESTS)
    add_test(NAME ${name}_seeds COMMAND ${name} ${_runs} ${ARG_SEEDS})
    set_tests_properties(${name}_seeds PROPERTIES TIMEOUT 600 LABELS fuzz)
  endif()
endfunction()

# brennick_add_gtest_folder(prefix LIBS ... [ENVIRONMENT ...] [LABELS ...]): one test executable for
# every *_test.cpp of the calling folder, named <prefix>_<file name without _test.cpp>.
function(brennick_add_gtest_folder prefix)
  cmake_parse_arguments(ARG "" "" "LIBS;ENVIRONMENT;LABELS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(_source ${_sources})
    get_filename_component(_name ${_source} NAME_WE)
    string(REGEX REPLACE "_test$" "" _name ${_name})
    brennick_add_gtest(${prefix}_${_name} SOURCES ${_source} LIBS ${ARG_LIBS} LABELS ${ARG_LABELS})
    if(ARG_ENVIRONMENT)
      set_tests_properties(${prefix}_${_name} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
  endforeach()
endfunction()

# brennick_library_headers(target folder): the include roots of one product library. Its own
# sources see every header of `folder` (as "folder/x.h"); what links it sees only the headers at
# the top of `folder`, its interface (subfolders such as services/jack/ stay internal). Neither
# sees the other folders, so an include that goes against the layering fails to build.
function(brennick_library_headers target folder)
  set(_private "${CMAKE_BINARY_DIR}/include/private/${target}")
  set(_public "${CMAKE_BINARY_DIR}/include/public/${target}")
  file(MAKE_DIRECTORY "${_private}" "${_public}/${folder}")
  file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${_private}/${folder}" SYMBOLIC)
  file(GLOB _headers CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${folder}/*.h")
  foreach(_header ${_headers})
    get_filename_component(_name "${_header}" NAME)
    file(CREATE_LINK "${_header}" "${_public}/${folder}/${_name}" SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE "${_private}" INTERFACE "${_public}")
endfunction()

# brennick_install_gzipped(SOURCE file DESTINATION folder): installs `file` as `file`.gz, compressed
# as Debian wants manual pages and changelogs: at most, with no name or time stamp in the header
# (so that the same source gives the same bytes).
function(brennick_install_gzipped)
  cmake_parse_arguments(ARG "" "SOURCE;DESTINATION" "" ${ARGN})
  get_filename_component(_name "${ARG_SOURCE}" NAME)
  set(_folder "${CMAKE_BINARY_DIR}/gzipped/${ARG_DESTINATION}")
  file(MAKE_DIRECTORY "${_folder}")
  add_custom_command(OUTPUT "${_folder}/${_name}.gz"
                     COMMAND gzip -9 -n -c "${ARG_SOURCE}" > "${_folder}/${_name}.gz"
                     DEPENDS "${ARG_SOURCE}" VERBATIM)
  string(MAKE_C_IDENTIFIER "gzip_${ARG_DESTINATION}_${_name}" _target)
  add_custom_target(${_target} ALL DEPENDS "${_folder}/${_name}.gz")
  install(FILES "${_folder}/${_name}.gz" DESTINATION "${ARG_DESTINATION}")
endfunction()
