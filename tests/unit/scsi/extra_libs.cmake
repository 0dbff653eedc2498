# Provider libraries for the loading tests, built beside the test binary's folder.
foreach(lib test_provider half_provider)
  add_library(scsi_${lib} MODULE ${CMAKE_CURRENT_LIST_DIR}/libs/${lib}.cpp)
  target_include_directories(scsi_${lib} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  set_target_properties(scsi_${lib} PROPERTIES LIBRARY_OUTPUT_DIRECTORY
                        ${CMAKE_CURRENT_BINARY_DIR}/scsi_providers)
  add_dependencies(${target} scsi_${lib})
endforeach()
target_compile_definitions(${target} PRIVATE
  TEST_PROVIDER_PATH="$<TARGET_FILE:scsi_test_provider>"
  HALF_PROVIDER_PATH="$<TARGET_FILE:scsi_half_provider>")
# The drive preparation tests run against vdat drives.
target_link_libraries(${target} PRIVATE vdat_core)
