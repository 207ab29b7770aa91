# Packages the build and fails on any lintian error.
find_program(LINTIAN lintian REQUIRED)
file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND cpack -G DEB -B "${OUT}" WORKING_DIRECTORY "${BUILD_DIR}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cpack failed: ${output}")
endif()
file(GLOB debs "${OUT}/*.deb")
if(NOT debs)
    message(FATAL_ERROR "cpack made no .deb: ${output}")
endif()
execute_process(COMMAND "${LINTIAN}" --no-tag-display-limit ${debs}
                RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE report)
message("${report}")
file(REMOVE_RECURSE "${OUT}")
if(report MATCHES "(^|\n)E: ")
    message(FATAL_ERROR "lintian reports errors")
endif()
