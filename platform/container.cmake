# Shared container: folders, settings suite, secret store, cross-process signals.
target_sources(pixavella_platform PRIVATE
    ContainerPaths.cpp
    PrivateFiles.cpp
    SettingsSuite.cpp
    SecretStore.cpp
    Signals.cpp
)
target_link_libraries(pixavella_platform PRIVATE Qt6::DBus)
