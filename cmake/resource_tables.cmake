# The native string and dialog tables, generated from the .rc scripts that
# the DLL's resources are compiled from.
set(TAVU_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
    OUTPUT ${TAVU_GENERATED_DIR}/resource_tables.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVU_GENERATED_DIR}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/rcgen.py
            --cpp ${TAVU_GENERATED_DIR}/resource_tables.cpp ${TAVU_RESOURCE_SCRIPT}
    DEPENDS ${CMAKE_SOURCE_DIR}/tools/rcgen.py ${TAVU_RESOURCE_FILES}
    COMMENT "Generating resource tables from resources/*.rc"
    VERBATIM)
