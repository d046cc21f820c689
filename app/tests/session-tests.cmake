# The session against the Immich double.
pixavella_add_test(TestSessionModel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSessionModel.cpp
            ${CMAKE_CURRENT_LIST_DIR}/RecordingDomainBackend.h
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
# The program itself, and the road of one dropped photo through the real drive. Its JPEG gets
# its camera date from the demo library's writer.
pixavella_add_test(TestPixavellaProgram
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestPixavellaProgram.cpp
            ${PROJECT_SOURCE_DIR}/tests/immich-double/demo/MediaWriters.cpp
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
target_include_directories(TestPixavellaProgram PRIVATE
    ${PROJECT_SOURCE_DIR}/tests/immich-double/demo)
add_dependencies(TestPixavellaProgram pixavella passerelle immich-double)
