# Test helpers shared by every test directory.

include(GoogleTest)

if(CMAKE_CROSSCOMPILING)
    # Debian ships GoogleTest as source; build it with the cross compiler.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Recent GoogleTest sources name their targets GTest:: themselves.
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
        add_library(GTest::gmock ALIAS gmock)
    endif()
else()
    find_package(GTest REQUIRED)
endif()

# updater_add_test(<name> SOURCES <files...> LIBRARIES <targets...> [ENVIRONMENT <VAR=value...>]
#                  [LAUNCHER <command...>] [PROPERTIES <test properties...>])
# One GoogleTest executable; each of its cases, and each row of a parameterised
# case, becomes a CTest test of its own, named by the case and the row's name
# alone; discovered when CTest runs so that nothing (Wine included) runs at build time.
# A launcher, when given, runs each case (a program that sets up its world).
function(updater_add_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;ENVIRONMENT;LAUNCHER;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gtest_main)
    if(NOT CMAKE_CROSSCOMPILING)
        set(environment QT_QPA_PLATFORM=offscreen ${ARG_ENVIRONMENT})
        if(UPDATER_SANITIZE)
            list(APPEND environment
                "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
                "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
        endif()
        # The discovered tests' ENVIRONMENT property keeps only the first of
        # several variables; a launcher sets them all, for discovery too.
        set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${environment} ${ARG_LAUNCHER})
    endif()
    gtest_discover_tests(${name} NO_PRETTY_VALUES
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${ARG_PROPERTIES})
endfunction()
