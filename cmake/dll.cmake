# TAVUEdit.dll: no C runtime, memory and byte work come from the host.
enable_language(RC)

add_library(TAVUEdit SHARED ${TAVU_MODULE_SOURCES} ${TAVU_RESOURCE_SCRIPT})
set_target_properties(TAVUEdit PROPERTIES PREFIX "" OUTPUT_NAME TAVUEdit)
# The version resource's numbers come from project(VERSION), through a
# header generated into the build.
set(TAVU_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/tavu_version.h)
configure_file(${CMAKE_SOURCE_DIR}/resources/version.h.in ${TAVU_VERSION_HEADER} @ONLY)
target_include_directories(TAVUEdit PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
set_source_files_properties(${TAVU_RESOURCE_SCRIPT} PROPERTIES
    OBJECT_DEPENDS "${TAVU_RESOURCE_FILES};${TAVU_VERSION_HEADER}")
target_compile_options(TAVUEdit PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-tree-loop-distribute-patterns -fno-stack-protector
    -fno-builtin>)
target_link_options(TAVUEdit PRIVATE
    -nostdlib -static-libgcc -Wl,--entry,_DllMain@12 -Wl,--no-insert-timestamp)
target_link_libraries(TAVUEdit PRIVATE kernel32 user32 gdi32 gcc)
