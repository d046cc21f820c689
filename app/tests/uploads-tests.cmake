# Upload reconciler against the Immich double; notifiers against a notification server of
# the test's own on a private session bus where nothing can be activated.
set(PIXAVELLA_NOTIFICATION_BUS
    dbus-run-session --config-file=${CMAKE_CURRENT_LIST_DIR}/notification-bus.conf --)

pixavella_add_test(TestUploadReconciler
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestUploadReconciler.cpp
    LIBS pixavella_app immich_double_launcher
    TIMEOUT 300)
pixavella_add_test(TestNotifications
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestNotifications.cpp
            ${CMAKE_CURRENT_LIST_DIR}/FakeNotificationServer.h
    LIBS pixavella_app
    WRAPPER ${PIXAVELLA_NOTIFICATION_BUS})
pixavella_add_test(TestSoftwareUpdater
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestSoftwareUpdater.cpp
    LIBS pixavella_app PkgConfig::HTTPLIB)
