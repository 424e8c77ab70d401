# The Python-free core (panic, process services, pool, FASTA parser) and the
# inflaters it links: one list for the module build and for the native test
# programs (fuzz, stress), which compile the same sources with their own flags.
#
#   include(path/to/cmake/veltra_base.cmake)
#   add_executable(prog prog.cpp ${VELTRA_BASE_SOURCES})
#   veltra_use_inflaters(prog PRIVATE)
get_filename_component(VELTRA_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)

file(GLOB_RECURSE VELTRA_BASE_SOURCES CONFIGURE_DEPENDS
  "${VELTRA_ROOT}/src/fasta/*.cpp" "${VELTRA_ROOT}/src/sys/*.cpp" "${VELTRA_ROOT}/src/pool/*.cpp"
  "${VELTRA_ROOT}/src/panic/*.cpp")
# The optional inflaters are added by veltra_use_inflaters, where found.
list(FILTER VELTRA_BASE_SOURCES EXCLUDE REGEX "/src/fasta/gzip/inflate_(libdeflate|isal)\\.cpp$")
list(APPEND VELTRA_BASE_SOURCES "${VELTRA_ROOT}/src/panic.cpp")
foreach(face sys pool)
  if(EXISTS "${VELTRA_ROOT}/src/${face}.cpp")
    list(APPEND VELTRA_BASE_SOURCES "${VELTRA_ROOT}/src/${face}.cpp")
  endif()
endforeach()
# The kernels alone, for programs that test or time them without the rest.
file(GLOB VELTRA_KERNEL_SOURCES CONFIGURE_DEPENDS "${VELTRA_ROOT}/src/fasta/kernel_*.cpp")

# Faster inflaters than zlib, each used where it is found (AUTO), required (ON)
# or left out (OFF); without them zlib inflates, with the same results:
# libdeflate for BGZF members, ISA-L for gzip inflated front to back.
function(veltra_optional_library option header library)
  set(${option} AUTO CACHE STRING "Use ${library} where found: AUTO, ON or OFF")
  if(${option} STREQUAL "OFF")
    return()
  endif()
  find_path(${option}_INCLUDE_DIR ${header})
  find_library(${option}_LIBRARY ${library})
  if(${option}_INCLUDE_DIR AND ${option}_LIBRARY)
    message(STATUS "Inflating with ${${option}_LIBRARY}")
    set(${option}_FOUND TRUE PARENT_SCOPE)
  elseif(${option} STREQUAL "ON")
    message(FATAL_ERROR "${option}=ON but ${library} was not found")
  endif()
endfunction()
veltra_optional_library(VELTRA_LIBDEFLATE libdeflate.h deflate)
veltra_optional_library(VELTRA_ISAL isa-l/igzip_lib.h isal)

# zlib, and the faster inflaters that were found, for a target built from
# VELTRA_BASE_SOURCES: each one's source file, and the definitions that tell
# the resolver (src/fasta/gzip/inflaters.cpp) which are there. They are given
# to the resolver alone, so that a build that changes its inflaters recompiles
# only what they touch.
function(veltra_use_inflaters target scope)
  target_link_libraries(${target} ${scope} Threads::Threads ZLIB::ZLIB)
  set(present)
  foreach(lib LIBDEFLATE ISAL)
    if(VELTRA_${lib}_FOUND)
      string(TOLOWER ${lib} name)
      target_sources(${target} PRIVATE "${VELTRA_ROOT}/src/fasta/gzip/inflate_${name}.cpp")
      list(APPEND present VELTRA_HAVE_${lib})
      target_include_directories(${target} PRIVATE ${VELTRA_${lib}_INCLUDE_DIR})
      target_link_libraries(${target} ${scope} ${VELTRA_${lib}_LIBRARY})
    endif()
  endforeach()
  set_source_files_properties("${VELTRA_ROOT}/src/fasta/gzip/inflaters.cpp" TARGET_DIRECTORY ${target}
    PROPERTIES COMPILE_DEFINITIONS "${present}")
endfunction()
