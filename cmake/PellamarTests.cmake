# Each tests/<layer>/<Unit>_test.cpp becomes one GoogleTest binary whose tests CTest
# discovers. Files named *_loopback_test.cpp send packets or resolve names: they carry
# the CTest label "loopback" and only run inside the private network namespace that
# ./test.sh makes (elsewhere they skip themselves with a message).
include(GoogleTest)

function(pellamar_add_tests layer_dir)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${layer_dir}/*_test.cpp)
  foreach(source IN LISTS test_sources)
    get_filename_component(name ${source} NAME_WE)
    set(target ${layer_dir}_${name})
    add_executable(${target} ${source})
    target_link_libraries(${target} PRIVATE ${ARGN} pellamar_test_support GTest::gtest_main
                                            GTest::gmock)
    # The checkout, for tests that read its files: __FILE__ may be relative (ccache's
    # base_dir rewrites the paths a compiler is given).
    target_compile_definitions(${target} PRIVATE PELLAMAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    set(labels ${layer_dir})
    if(name MATCHES "_loopback_test$")
      list(APPEND labels loopback)
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${layer_dir}.")
    # The labels are set by a file CTest reads after the discovered tests: passed through
    # gtest_discover_tests, a list of two labels would arrive split into two arguments.
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${label_file}
         "if(DEFINED ${target}_TESTS)\n"
         "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${labels}\")\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  endforeach()
endfunction()
