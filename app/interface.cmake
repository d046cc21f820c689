# The tray's status, menu, notices and upload history.
target_sources(pixavella_app PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/HistoryModel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HistoryModel.h
    ${CMAKE_CURRENT_LIST_DIR}/HistoryWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/HistoryWindow.h
    ${CMAKE_CURRENT_LIST_DIR}/NoticeCenter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/NoticeCenter.h
    ${CMAKE_CURRENT_LIST_DIR}/NoticeWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/NoticeWindow.h
    ${CMAKE_CURRENT_LIST_DIR}/Symbols.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Symbols.h
    ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TrayIcon.h
    ${CMAKE_CURRENT_LIST_DIR}/TrayMenu.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TrayMenu.h
    ${CMAKE_CURRENT_LIST_DIR}/UploadStatus.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadStatus.h
    ${CMAKE_CURRENT_LIST_DIR}/UploadStatusModel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadStatusModel.h
)

# Monochrome symbols of the menu and the windows, tinted when drawn.
set(PIXAVELLA_APP_ICONS
    arrow-down-circle arrow-up-circle checkmark checkmark-circle chevron-down chevron-right
    folder globe history pause-circle person photos power refresh retry sign-out tray updates
    warning warning-fill)
list(TRANSFORM PIXAVELLA_APP_ICONS PREPEND icons/)
list(TRANSFORM PIXAVELLA_APP_ICONS APPEND .svg)
qt_add_resources(pixavella_app pixavella_app_icons
    PREFIX /
    BASE ${CMAKE_CURRENT_LIST_DIR}
    FILES ${PIXAVELLA_APP_ICONS})
