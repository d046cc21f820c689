pixavella_add_test(TestSettingsSuite SOURCES TestSettingsSuite.cpp LIBS pixavella_platform)
pixavella_add_test(TestSignals SOURCES TestSignals.cpp LIBS pixavella_platform)
pixavella_add_test(TestPrivateFiles SOURCES TestPrivateFiles.cpp LIBS pixavella_platform)
pixavella_add_test(TestLog SOURCES TestLog.cpp LIBS pixavella_platform)
# Against a real Secret Service: a private session bus with an unlocked gnome-keyring.
pixavella_add_test(TestSecretStore SOURCES TestSecretStore.cpp LIBS pixavella_platform Qt6::DBus
    WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/with-secret-service.sh)
# Without a Secret Service the file in the container stands in: first without any session bus,
# then on a bus where no Secret Service can be started.
pixavella_add_test(TestSecretStoreFallback SOURCES TestSecretStoreFallback.cpp
    LIBS pixavella_platform)
pixavella_add_test(TestSecretStoreWithoutService SOURCES TestSecretStoreFallback.cpp
    LIBS pixavella_platform
    WRAPPER ${CMAKE_CURRENT_SOURCE_DIR}/with-bus-without-secret-service.sh)
