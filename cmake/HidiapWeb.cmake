# The WebAssembly build of the web updater, configured by scripts/build-web.sh with emcmake. Its
# C libraries (zlib, minizip, nettle's SHA-256, libsodium) are Debian's sources compiled with emcc
# and staged in HIDIAP_WEB_DEPS; nlohmann-json's headers are staged there from its Debian package.
set(HIDIAP_WEB_DEPS "" CACHE PATH "The staged WebAssembly dependencies (scripts/build-web.sh)")
if(NOT HIDIAP_WEB_DEPS)
  message(FATAL_ERROR "the web build needs HIDIAP_WEB_DEPS; build it with scripts/build-web.sh")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${HIDIAP_WEB_DEPS})
find_package(nlohmann_json REQUIRED)
# std::mutex of the runner works without threads: the browser's one event loop serialises calls.
find_package(Threads REQUIRED)

function(hidiap_web_static name file)
  add_library(${name} STATIC IMPORTED)
  set_target_properties(${name} PROPERTIES
    IMPORTED_LOCATION ${HIDIAP_WEB_DEPS}/lib/${file}
    INTERFACE_INCLUDE_DIRECTORIES ${HIDIAP_WEB_DEPS}/include)
endfunction()
hidiap_web_static(ZLIB::ZLIB libz.a)
hidiap_web_static(hidiap_web_nettle libnettle.a)
add_library(hidiap_sodium INTERFACE)
hidiap_web_static(hidiap_web_sodium libsodium.a)
target_link_libraries(hidiap_sodium INTERFACE hidiap_web_sodium)
set(HIDIAP_MINIZIP_DIR ${HIDIAP_WEB_DEPS})

# The page reads firmware packages and checks their signatures, as the tool does.
set(HIDIAP_WITH_PACKAGES ON)
set(HIDIAP_WITH_SIGNING ON)

include(cmake/HidiapLayers.cmake)
add_subdirectory(src/base)
add_subdirectory(src/console)
add_subdirectory(src/engine)
add_subdirectory(src/globals)
add_subdirectory(src/timing)
add_subdirectory(src/device)
add_subdirectory(src/formats)
add_subdirectory(src/signing)
add_subdirectory(src/host/platform)
add_subdirectory(src/host/link)
add_subdirectory(src/host/events)
add_subdirectory(src/host/inputs)
add_subdirectory(src/host/run)
add_subdirectory(src/web)
