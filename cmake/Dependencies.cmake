# Every dependency comes from Debian's packages.
#
# fmt and nlohmann-json are used header-only on both builds. The mingw build must never see
# /usr/include as a whole, so their include folders are exposed through a staging folder that
# holds only links to them.
set(_velmora_dep_include ${CMAKE_BINARY_DIR}/dep-include)
file(MAKE_DIRECTORY ${_velmora_dep_include})
foreach(_dir fmt nlohmann)
  if(NOT EXISTS /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK /usr/include/${_dir} ${_velmora_dep_include}/${_dir} SYMBOLIC)
endforeach()

add_library(velmora_deps INTERFACE)
target_include_directories(velmora_deps SYSTEM INTERFACE ${_velmora_dep_include})
target_compile_definitions(velmora_deps INTERFACE FMT_HEADER_ONLY=1)

find_package(Threads REQUIRED)

if(VELMORA_BUILD_TESTS)
  if(WIN32)
    # GoogleTest for the mingw build is compiled from Debian's sources.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
