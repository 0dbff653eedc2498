# The MPEG tests make their files with the project's own fixture script.
target_compile_definitions(${target} PRIVATE
  FIXTURE_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/make-mpeg-fixtures")
