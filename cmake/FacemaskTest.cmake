# add_module_test(<name> SOURCES <files...> LIBS <targets...> [NEEDS_MODEL] [NO_MODEL] [TIMEOUT <s>])
#
# One test executable per class. Every test runs with the offscreen platform and in a working
# directory of its own, which also holds its XDG config and data folders: NEEDS_MODEL gives it
# a folder holding "shape_predictor.dat" (a link to the system model), NO_MODEL an empty folder,
# so the lazy model loading is exercised for real. The test pictures are FACEMASK_TEST_DATA_DIR,
# set once in the top-level CMakeLists.txt.

find_package(Qt5 REQUIRED COMPONENTS Test)

function(add_module_test name)
    cmake_parse_arguments(T "NEEDS_MODEL;NO_MODEL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} Qt5::Test)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${name} PRIVATE
        FACEMASK_TEST_DATA_DIR="${FACEMASK_TEST_DATA_DIR}"
        FACEMASK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    set(workdir "${CMAKE_CURRENT_BINARY_DIR}/${name}.work")
    file(MAKE_DIRECTORY "${workdir}")
    if(T_NEEDS_MODEL AND EXISTS "${FACEMASK_SYSTEM_MODEL}")
        file(CREATE_LINK "${FACEMASK_SYSTEM_MODEL}" "${workdir}/shape_predictor.dat" SYMBOLIC)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY "${workdir}")
    # The landmark model's compact copy goes to the build folder, not to the user's cache;
    # remembered settings and the desktop's recent files stay inside the test's own folder.
    set(environment "QT_QPA_PLATFORM=offscreen;QT_QPA_FONTDIR=/usr/share/fonts/truetype/dejavu;XDG_CACHE_HOME=${CMAKE_BINARY_DIR}/test-cache"
        "XDG_CONFIG_HOME=${workdir}/config" "XDG_DATA_HOME=${workdir}/data")
    if(FACEMASK_SANITIZE)
        list(APPEND environment "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/lsan.supp")
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${environment}")
endfunction()
