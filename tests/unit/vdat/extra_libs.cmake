# vdat_tests links vdat_core (through the tervano_vdat alias) and also loads the built
# provider library once, to check what it exports.
add_dependencies(${target} aspi_vdat)
target_compile_definitions(${target} PRIVATE VDAT_MODULE_PATH="$<TARGET_FILE:aspi_vdat>")
target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
