# The fuzz targets (fuzz/run): libFuzzer with ASan and UBSan, each built from
# exactly the sources it reaches rather than the whole workbench, so that a
# fresh fuzz build compiles a handful of files.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
# The project builds with -Werror for its own compiler; a warning only clang
# gives must not stop the fuzzing.
add_compile_options(-Wno-error)

include(cmake/resource_tables.cmake)

# Everything `tavu dump`, `check` and `map` do with a file's bytes.
set(TAVU_FILE_TOOL_SOURCES
    sim/scenery_file.cpp sim/host.cpp
    tools/tavu/scenery_info.cpp tools/tavu/cmd_dump.cpp tools/tavu/cmd_check.cpp tools/tavu/cmd_map.cpp
    tools/tavu/svg.cpp tools/tavu/commands.cpp tools/tavu/progress.cpp
    tools/tavu/map_labels.cpp tools/tavu/whole_file.cpp
    catalog/catalog_data.cpp catalog/catalog_names.cpp scenery/record.cpp
    platform/posix/strings.cpp ${TAVU_GENERATED_DIR}/resource_tables.cpp)
add_library(tavu_fuzz_files STATIC ${TAVU_FILE_TOOL_SOURCES})
target_include_directories(tavu_fuzz_files PUBLIC ${CMAKE_SOURCE_DIR})
target_precompile_headers(tavu_fuzz_files PRIVATE <CLI/CLI.hpp> <nlohmann/json.hpp>)

add_executable(scenery_file_fuzzer fuzz/scenery_file_fuzzer.cpp)
target_link_libraries(scenery_file_fuzzer PRIVATE tavu_fuzz_files)
target_link_options(scenery_file_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)

add_executable(make_corpus fuzz/make_corpus.cpp)
target_link_libraries(make_corpus PRIVATE tavu_fuzz_files)
target_link_options(make_corpus PRIVATE -fsanitize=address,undefined)

# The PE loader behind --module.
add_executable(pe_image_fuzzer fuzz/pe_image_fuzzer.cpp sim/pe_image.cpp)
target_include_directories(pe_image_fuzzer PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(pe_image_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)

# The session-script parser behind `tavu run`. It looks catalog groups up
# through the transcript's helpers, and the transcript brings the geodesy and
# the dialog views it formats; the simulator itself stays out.
add_executable(session_script_fuzzer fuzz/session_script_fuzzer.cpp
    sim/session_parse.cpp sim/session_names.cpp sim/transcript.cpp sim/geodesy.cpp
    platform/posix/dialogs.cpp platform/posix/dialog_resources.cpp platform/posix/bitmaps.cpp)
target_link_libraries(session_script_fuzzer PRIVATE tavu_fuzz_files)
target_link_options(session_script_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)
