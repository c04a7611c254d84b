# A shipped device-manager plug-in: a module built against the SDK headers only, like a third
# party's, landing in pyvorn_device_plugins/ of the build tree (and of the installed package).
# $ORIGIN lets it find libraries placed beside it.
function(vorn_shipped_plugin target)
    add_library(${target} MODULE ${ARGN})
    target_link_libraries(${target} PRIVATE vorn::sdk Threads::Threads)
    set_target_properties(${target} PROPERTIES
        PREFIX "lib"
        BUILD_RPATH "$ORIGIN"
        INSTALL_RPATH "$ORIGIN"
        LIBRARY_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/pyvorn_device_plugins")
    vorn_warnings(${target})
    # GCC marks some inline statics as unique symbols, and glibc never unloads a library that
    # defines one first: without this the plug-in could stay loaded after its last owner is gone.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
    if(SKBUILD)
        install(TARGETS ${target} LIBRARY DESTINATION pyvorn_device_plugins)
    endif()
endfunction()
