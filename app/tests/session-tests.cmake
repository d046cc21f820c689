# Start-up, the domain, the session (against the Immich double) and the sign-in window.
set(PIXAVELLA_SESSION_TEST_SUPPORT
    ${CMAKE_CURRENT_LIST_DIR}/LogCapture.h
    ${CMAKE_CURRENT_LIST_DIR}/RecordingDomainBackend.h)

pixavella_add_test(TestDomainController
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestDomainController.cpp ${PIXAVELLA_SESSION_TEST_SUPPORT}
    LIBS pixavella_app)
pixavella_add_test(TestSessionModel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSessionModel.cpp ${PIXAVELLA_SESSION_TEST_SUPPORT}
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
pixavella_add_test(TestAppDelegate
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestAppDelegate.cpp ${PIXAVELLA_SESSION_TEST_SUPPORT}
    LIBS pixavella_app)
pixavella_add_test(TestLaunchOptions
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestLaunchOptions.cpp
    LIBS pixavella_app)
pixavella_add_test(TestLoginItem
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestLoginItem.cpp ${PIXAVELLA_SESSION_TEST_SUPPORT}
    LIBS pixavella_app)
pixavella_add_test(TestMachineName
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestMachineName.cpp
    LIBS pixavella_app)
pixavella_add_test(TestLoginWindow
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestLoginWindow.cpp ${PIXAVELLA_SESSION_TEST_SUPPORT}
    LIBS pixavella_app)
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
