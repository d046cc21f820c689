# Uploads and their notifications, deletion notices, software updates.
target_sources(pixavella_app PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/AppStores.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AppStores.h
    ${CMAKE_CURRENT_LIST_DIR}/DeletionNotifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DeletionNotifier.h
    ${CMAKE_CURRENT_LIST_DIR}/DesktopNotifications.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DesktopNotifications.h
    ${CMAKE_CURRENT_LIST_DIR}/ReleaseFeed.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReleaseFeed.h
    ${CMAKE_CURRENT_LIST_DIR}/SoftwareUpdater.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SoftwareUpdater.h
    ${CMAKE_CURRENT_LIST_DIR}/UploadIssueNotifier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadIssueNotifier.h
    ${CMAKE_CURRENT_LIST_DIR}/UploadReconciler.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UploadReconciler.h
)
