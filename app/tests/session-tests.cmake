# The session against the Immich double.
pixavella_add_test(TestSessionModel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSessionModel.cpp
            ${CMAKE_CURRENT_LIST_DIR}/RecordingDomainBackend.h
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
# The program itself: switches, one instance per user, signals, with the real drive.
pixavella_add_test(TestPixavellaProgram
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestPixavellaProgram.cpp
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
add_dependencies(TestPixavellaProgram pixavella passerelle immich-double)
# The start in one process: switches, the one-instance channel, the delegate, the quit.
pixavella_add_test(TestLaunch
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestLaunch.cpp
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
add_dependencies(TestLaunch immich-double)
# The program's own parts, built here from its sources.
pixavella_add_test(TestProgramParts
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestProgramParts.cpp
            ${PROJECT_SOURCE_DIR}/app/program/AppServices.cpp
            ${PROJECT_SOURCE_DIR}/app/program/QuitSignals.cpp
    LIBS pixavella_app)
target_include_directories(TestProgramParts PRIVATE ${PROJECT_SOURCE_DIR}/app/program)
