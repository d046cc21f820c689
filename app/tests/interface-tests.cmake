# The status model and its texts, the notice centre's rules and the history's sections.
pixavella_add_test(TestUploadStatusModel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadStatusModel.cpp
    LIBS pixavella_app)
pixavella_add_test(TestNoticeCenter
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestNoticeCenter.cpp
    LIBS pixavella_app)
pixavella_add_test(TestHistoryModel
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestHistoryModel.cpp
    LIBS pixavella_app PkgConfig::HTTPLIB)
# Both answer from the client tests' recording server.
target_include_directories(TestHistoryModel PRIVATE ${PROJECT_SOURCE_DIR}/shared/tests)
if(TARGET TestSoftwareUpdater)
    target_include_directories(TestSoftwareUpdater PRIVATE ${PROJECT_SOURCE_DIR}/shared/tests)
endif()

# Not a test: renders the windows to PNG (docs/screenshots), run under xvfb-run.
add_executable(pixavella-screenshots ${CMAKE_CURRENT_LIST_DIR}/RenderScreenshots.cpp)
target_link_libraries(pixavella-screenshots PRIVATE pixavella_app PkgConfig::HTTPLIB Qt6::Test
    pixavella_options)
# The tray icon's symbol, tooltip, menu button and update-check outcome; the tinted symbols.
pixavella_add_test(TestTrayIcon
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestTrayIcon.cpp
    LIBS pixavella_app)
