# Helpers shared by every component tree: warnings, core libraries, extension modules, test suites.

function(velora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wconversion)
  if(VELORA_WARNINGS_AS_ERRORS)
    # GCC 12 reports these families falsely inside the standard library at -O3; they stay
    # warnings so that a real report is still seen.
    target_compile_options(${target} PRIVATE -Werror -Wno-error=restrict -Wno-error=stringop-overflow
                                             -Wno-error=array-bounds -Wno-error=maybe-uninitialized)
  endif()
endfunction()

# velora_core_library(<target> <source folder> [DEPENDS <targets>...]): every .cpp under the folder,
# plain C++ without Python, position independent so the extension modules can link it.
function(velora_core_library target folder)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  velora_warnings(${target})
endfunction()

# velora_extension(<target> <module file name> <package folder> <source folder> <core library>)
function(velora_extension target module_name package_dir source_dir core)
  if(NOT VELORA_BUILD_PYTHON)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${source_dir}/*.cpp)
  pybind11_add_module(${target} MODULE ${sources})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${module_name})
  target_link_libraries(${target} PRIVATE velora_bindings_common ${core})
  velora_warnings(${target})
  if(SKBUILD)
    install(TARGETS ${target} LIBRARY DESTINATION ${package_dir})
  else()
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${VELORA_STAGE}/${package_dir})
    add_dependencies(${target} velora_stage_python)
  endif()
endfunction()

# velora_core_tests(<target> <test folder> <libraries>...): one GoogleTest executable per component.
function(velora_core_tests target folder)
  if(NOT VELORA_BUILD_TESTS)
    return()
  endif()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  add_executable(${target} ${sources})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE VELORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  velora_warnings(${target})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST)
endfunction()
