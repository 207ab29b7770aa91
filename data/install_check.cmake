# Installs the build into a scratch prefix and checks that everything a desktop needs is there.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path
        bin/kestrel-rfid
        bin/kestrel-box
        share/applications/kestrel-rfid.desktop
        share/icons/hicolor/scalable/apps/kestrel-rfid.svg
        share/metainfo/org.kestrel.RfidReaderWriter.metainfo.xml
        share/man/man1/kestrel-rfid.1.gz
        share/man/man1/kestrel-box.1.gz
        share/kestrel-rfid/record-postgresql.sql
        share/doc/kestrel-rfid/copyright
        share/doc/kestrel-rfid/changelog.gz
        share/doc/kestrel-rfid/examples/job.json
        share/bash-completion/completions/kestrel-rfid)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "missing after install: ${path}")
    endif()
endforeach()
foreach(tool kestrel-rfid kestrel-box)
    execute_process(COMMAND "${PREFIX}/bin/${tool}" --version OUTPUT_VARIABLE version
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT version MATCHES "${tool} [0-9]+\\.[0-9]+")
        message(FATAL_ERROR "${tool} --version said: ${version}")
    endif()
    execute_process(COMMAND "${PREFIX}/bin/${tool}" --help OUTPUT_VARIABLE help
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT help MATCHES "Usage:")
        message(FATAL_ERROR "${tool} --help said: ${help}")
    endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
