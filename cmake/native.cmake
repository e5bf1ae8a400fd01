# Native build: the module against the Win32 subset in platform/, the
# emulated host and player in sim/, the tavu CLI and the tests.
# GCC 12 reports false -Wrestrict overlaps inside std::string when it
# inlines aggressively (GCC bug 105329); the other warnings stay errors.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-restrict)
endif()

if(TAVU_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

include(cmake/resource_tables.cmake)

file(GLOB TAVU_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/posix/*.cpp)
add_library(tavu_platform STATIC ${TAVU_PLATFORM_SOURCES} ${TAVU_GENERATED_DIR}/resource_tables.cpp)
target_include_directories(tavu_platform PUBLIC ${CMAKE_SOURCE_DIR})

add_library(tavu_module STATIC ${TAVU_MODULE_SOURCES})
target_include_directories(tavu_module PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tavu_module PUBLIC tavu_platform)

file(GLOB TAVU_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
# The catalog's name matcher is the tools' side of the catalog: never in the DLL.
add_library(tavu_sim STATIC ${TAVU_SIM_SOURCES} ${CMAKE_SOURCE_DIR}/catalog/catalog_names.cpp)
target_link_libraries(tavu_sim PUBLIC tavu_module)
# Unicorn runs the real 32-bit module under x86 emulation.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)
target_link_libraries(tavu_sim PUBLIC PkgConfig::UNICORN)

# The object preview bitmaps, drawn by our own tool into the data folder the
# tests load them from.
set(TAVU_DATA_DIR ${CMAKE_BINARY_DIR}/data)
add_executable(tavu-previews tools/make_previews.cpp)
target_link_libraries(tavu-previews PRIVATE tavu_module)
add_custom_command(
    OUTPUT ${TAVU_GENERATED_DIR}/previews.stamp
    COMMAND tavu-previews ${TAVU_DATA_DIR}/QIRO/TAVU/BMP
    COMMAND ${CMAKE_COMMAND} -E touch ${TAVU_GENERATED_DIR}/previews.stamp
    DEPENDS tavu-previews
    COMMENT "Drawing the object preview bitmaps"
    VERBATIM)
add_custom_target(previews ALL DEPENDS ${TAVU_GENERATED_DIR}/previews.stamp)

# The tavu CLI: one source file per subcommand, in a library the tests link
# too; main.cpp only dispatches.
file(GLOB TAVU_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/tavu/*.cpp)
list(REMOVE_ITEM TAVU_CLI_SOURCES ${CMAKE_SOURCE_DIR}/tools/tavu/main.cpp)
# tavu fly shows the help topics as text rendered from help/, the pages the
# help file is compiled from.
file(GLOB TAVU_HELP_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/help/*)
add_custom_command(
    OUTPUT ${TAVU_GENERATED_DIR}/help_text.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVU_GENERATED_DIR}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/helptext.py
            --cpp ${TAVU_GENERATED_DIR}/help_text.cpp ${CMAKE_SOURCE_DIR}/help/TAVU.hhp
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/helptext.py ${TAVU_HELP_FILES}
    COMMENT "Rendering the help topics from help/"
    VERBATIM)
add_library(tavu_cli STATIC ${TAVU_CLI_SOURCES} ${TAVU_GENERATED_DIR}/help_text.cpp)
target_link_libraries(tavu_cli PUBLIC tavu_sim)
# CLI11 and nlohmann-json are header-only and cost seconds per file to
# parse: the files that use them share one precompiled copy.
target_precompile_headers(tavu_cli PRIVATE <CLI/CLI.hpp> <nlohmann/json.hpp>)
set(TAVU_CLI_PLAIN_SOURCES ${TAVU_CLI_SOURCES})
list(FILTER TAVU_CLI_PLAIN_SOURCES EXCLUDE REGEX "/(cmd_[a-z]+|commands|command_line|fly_session)\\.cpp$")
set_source_files_properties(${TAVU_CLI_PLAIN_SOURCES} ${TAVU_GENERATED_DIR}/help_text.cpp
    PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
target_compile_definitions(tavu_cli PUBLIC TAVU_DATA_DIR="${TAVU_DATA_DIR}" TAVU_VERSION="${PROJECT_VERSION}")
# tavu export and import speak geodata through GDAL/OGR and PROJ; only the
# tavu program and the tests of those two commands link them.
find_package(GDAL CONFIG REQUIRED)
file(GLOB TAVU_GEO_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/tavu/geo/*.cpp)
add_library(tavu_geo STATIC ${TAVU_GEO_SOURCES})
target_link_libraries(tavu_geo PUBLIC tavu_cli GDAL::GDAL)
target_precompile_headers(tavu_geo REUSE_FROM tavu_cli)
add_executable(tavu tools/tavu/main.cpp)
target_link_libraries(tavu PRIVATE tavu_geo)
target_precompile_headers(tavu REUSE_FROM tavu_cli)
add_dependencies(tavu previews)

# Benchmarks (make bench), when Google Benchmark is installed.
find_package(benchmark QUIET)
if(benchmark_FOUND)
    file(GLOB TAVU_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
    add_executable(tavu-bench ${TAVU_BENCH_SOURCES})
    target_link_libraries(tavu-bench PRIVATE tavu_cli benchmark::benchmark)
    target_compile_definitions(tavu-bench PRIVATE TAVU_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(tavu-bench previews)
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

# One test program per subsystem folder under tests/.
file(GLOB TAVU_TEST_DIRS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*)
foreach(dir ${TAVU_TEST_DIRS})
    if(IS_DIRECTORY ${dir})
        get_filename_component(name ${dir} NAME)
        file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
        if(sources)
            add_executable(test_${name} ${sources})
            target_link_libraries(test_${name} PRIVATE tavu_cli GTest::gtest GTest::gtest_main)
            if(name STREQUAL "geo")
                target_link_libraries(test_${name} PRIVATE tavu_geo)
            endif()
            target_compile_definitions(test_${name} PRIVATE TAVU_BINARY_DIR="${CMAKE_BINARY_DIR}")
            add_dependencies(test_${name} previews tavu)
            gtest_discover_tests(test_${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR} DISCOVERY_TIMEOUT 60)
        endif()
    endif()
endforeach()
