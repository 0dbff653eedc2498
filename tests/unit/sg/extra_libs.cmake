# The SCSI generic provider's logic, run against the fake kernel of these tests.
target_link_libraries(${target} PRIVATE sg_core)
