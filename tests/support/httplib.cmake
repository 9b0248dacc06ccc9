# Gives a target the HTTP library of the test server.
# Native builds: Debian's libcpp-httplib-dev, whose header only declares the library and whose shared
# library holds the code (found through pkg-config). Windows cross build: nothing of it is packaged for
# mingw-w64, so the single-header form of the same Debian version (the upstream httplib.h of Debian's
# source package, patches applied) is used header-only: taken from the cross prefix when a dependency
# build put it there, otherwise fetched once with `apt-get source` into this build tree.
function(korvel_httplib_cross_header out_dir)
  if(EXISTS ${KORVEL_CROSS_PREFIX}/include/httplib.h)
    set(${out_dir} ${KORVEL_CROSS_PREFIX}/include PARENT_SCOPE)
    return()
  endif()
  set(include_dir ${CMAKE_BINARY_DIR}/httplib-include)
  if(NOT EXISTS ${include_dir}/httplib.h)
    set(work ${CMAKE_BINARY_DIR}/httplib-source)
    file(MAKE_DIRECTORY ${work})
    execute_process(COMMAND apt-get source -q cpp-httplib WORKING_DIRECTORY ${work}
                    RESULT_VARIABLE fetched OUTPUT_QUIET ERROR_VARIABLE fetch_errors)
    file(GLOB header ${work}/cpp-httplib-*/httplib.h)
    if(NOT header)
      message(FATAL_ERROR "the single-header HTTP library for the Windows test server could not be fetched "
                          "(apt-get source cpp-httplib needs a deb-src entry, see scripts/setup): ${fetch_errors}")
    endif()
    list(GET header 0 header)
    configure_file(${header} ${include_dir}/httplib.h COPYONLY)
  endif()
  set(${out_dir} ${include_dir} PARENT_SCOPE)
endfunction()

function(korvel_use_httplib target)
  if(CMAKE_CROSSCOMPILING)
    korvel_httplib_cross_header(include_dir)
    target_include_directories(${target} SYSTEM PRIVATE ${include_dir})
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(KORVEL_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
    target_link_libraries(${target} PUBLIC PkgConfig::KORVEL_HTTPLIB)
  endif()
  # Worker threads of the server.
  target_link_libraries(${target} PUBLIC Threads::Threads)
  if(WIN32)
    target_link_libraries(${target} PUBLIC ws2_32)  # sockets
  endif()
endfunction()
