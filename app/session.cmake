# Start-up, the drive's domain, the session and the sign-in window.
target_sources(pixavella_app PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AppDelegate.h
    ${CMAKE_CURRENT_LIST_DIR}/DomainController.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DomainController.h
    ${CMAKE_CURRENT_LIST_DIR}/FileProviderDomainBackend.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FileProviderDomainBackend.h
    ${CMAKE_CURRENT_LIST_DIR}/InstanceChannel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/InstanceChannel.h
    ${CMAKE_CURRENT_LIST_DIR}/LaunchOptions.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LaunchOptions.h
    ${CMAKE_CURRENT_LIST_DIR}/LoginItem.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LoginItem.h
    ${CMAKE_CURRENT_LIST_DIR}/LoginWindow.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LoginWindow.h
    ${CMAKE_CURRENT_LIST_DIR}/MachineName.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MachineName.h
    ${CMAKE_CURRENT_LIST_DIR}/QuitConfirmation.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QuitConfirmation.h
    ${CMAKE_CURRENT_LIST_DIR}/SessionModel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SessionModel.h
)
# The drive's domain manager (platform/fileprovider/fuse).
target_link_libraries(pixavella_app PUBLIC pixavella_fpmanager)
# The sign-in window's pictures.
qt_add_resources(pixavella_app pixavella_app_images
    PREFIX /
    BASE ${CMAKE_CURRENT_LIST_DIR}
    FILES images/login-icon.svg images/login-wordmark.svg)
