# tessivar_serving_suite(NAME SOURCES file... [CORPUS dir] [LIB_DIR dir] [FIXTURE name]
#                        [TIMEOUT s] [DEFINITIONS def...] [DEPENDS target...])
# Declares a test program that serves frames through the built plug-in with the serving
# harness (library accuracy_harness): its sources, the folder of its streams (default the
# generated corpus, CTest fixture `corpus`) and the folder it loads the plug-in from
# (default the build's lib folder, where the engine and the test indexer lie beside it).
set(TESSIVAR_SERVING_HARNESS_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "Serving harness folder")

function(tessivar_serving_suite name)
  cmake_parse_arguments(PARSE_ARGV 1 SUITE "" "CORPUS;LIB_DIR;FIXTURE;TIMEOUT" "SOURCES;DEFINITIONS;DEPENDS")
  if(NOT TARGET tessivar)
    return()
  endif()
  if(NOT SUITE_CORPUS)
    set(SUITE_CORPUS ${TESSIVAR_CORPUS_DIR})
  endif()
  if(NOT SUITE_LIB_DIR)
    set(SUITE_LIB_DIR ${CMAKE_BINARY_DIR}/lib)
  endif()
  if(NOT SUITE_FIXTURE)
    set(SUITE_FIXTURE corpus)
  endif()
  if(NOT SUITE_TIMEOUT)
    # A case runs a stream through every request order: a hang guard far above what the
    # sanitizer tree, the 32-bit emulator or a loaded machine take.
    set(SUITE_TIMEOUT 1800)
  endif()
  add_executable(${name} ${SUITE_SOURCES} ${TESSIVAR_SERVING_HARNESS_DIR}/harness_folders.cpp)
  target_link_libraries(${name} PRIVATE accuracy_harness GTest::gtest_main ${CMAKE_DL_LIBS})
  target_compile_definitions(${name} PRIVATE
    TESSIVAR_LIB_DIR="${SUITE_LIB_DIR}"
    TESSIVAR_CORPUS_DIR="${SUITE_CORPUS}"
    TESSIVAR_ACCURACY_WORK="${CMAKE_CURRENT_BINARY_DIR}/${name}-work"
    ${SUITE_DEFINITIONS})
  # The plug-in, its engine and the test indexer are loaded or run at test time.
  add_dependencies(${name} tessivar ${TESSIVAR_MFX_ENGINE_NAME} halvern ${SUITE_DEPENDS})
  gtest_discover_tests(${name}
    PROPERTIES TIMEOUT ${SUITE_TIMEOUT} FIXTURES_REQUIRED ${SUITE_FIXTURE}
    DISCOVERY_TIMEOUT ${TESSIVAR_DISCOVERY_TIMEOUT})
endfunction()
