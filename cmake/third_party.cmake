# Header-only libraries from Debian's packages: CLI11 (libcli11-dev) for command lines and
# nlohmann/json (nlohmann-json3-dev) for JSON. A cross build searches only its own sysroot,
# so it gets each library's folder from the host through a folder of its own: /usr/include
# as a whole would bring the host's C headers in.
function(korvo_header_library target header folder)
  find_path(include_${target} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  add_library(${target} INTERFACE)
  if(CMAKE_CROSSCOMPILING)
    set(dir ${CMAKE_BINARY_DIR}/${target}-include)
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${include_${target}}/${folder} ${dir}/${folder} SYMBOLIC)
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
  else()
    target_include_directories(${target} SYSTEM INTERFACE ${include_${target}})
  endif()
endfunction()

korvo_header_library(korvo_cli11 CLI/CLI.hpp CLI)
target_compile_definitions(korvo_cli11 INTERFACE KORVO_VERSION="${PROJECT_VERSION}")
korvo_header_library(korvo_json nlohmann/json.hpp nlohmann)
