# Build options shared by every target of the project, carried by one INTERFACE target
# rather than global flags so that third-party code is not compiled with them.
add_library(pixavella_options INTERFACE)
target_compile_options(pixavella_options INTERFACE -Wall -Wextra -Wpedantic)
target_compile_definitions(pixavella_options INTERFACE
    QT_NO_FOREACH
    PIXAVELLA_VERSION="${PROJECT_VERSION}"
    PIXAVELLA_DEFAULT_SERVER_URL="${PIXAVELLA_DEFAULT_SERVER_URL}"
    PIXAVELLA_RELEASE_FEED="${PIXAVELLA_RELEASE_FEED}")
if(PIXAVELLA_WERROR)
    target_compile_options(pixavella_options INTERFACE -Werror)
endif()
if(PIXAVELLA_SANITIZE)
    target_compile_options(pixavella_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(pixavella_options INTERFACE -fsanitize=address,undefined)
endif()

# pixavella_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#                    [WRAPPER <command...>] [TIMEOUT <seconds>])
# One test executable per class or behaviour, run by CTest with HOME and XDG_* pointed
# at a private temporary folder so no test touches the user's files.
function(pixavella_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;WRAPPER" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test pixavella_options ${T_LIBS})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_test(NAME ${name}
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/run-isolated.sh ${T_WRAPPER} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;PIXAVELLA_BUILD_DIR=${CMAKE_BINARY_DIR};PIXAVELLA_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
