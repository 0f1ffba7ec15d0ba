# Every third-party library comes from a Debian package (tools/setup.sh installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(cppzmq REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
pkg_check_modules(LIBSERIALPORT REQUIRED IMPORTED_TARGET libserialport)
# OSC messages are decoded and built by liblo (studio module).
pkg_check_modules(LIBLO REQUIRED IMPORTED_TARGET liblo)
# The MQTT client (mqtt module): MQTT 5 with its own network thread.
pkg_check_modules(LIBMOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)

find_path(HTTP_PARSER_INCLUDE_DIR http_parser.h REQUIRED)
find_library(HTTP_PARSER_LIBRARY http_parser REQUIRED)
add_library(http_parser::http_parser UNKNOWN IMPORTED)
set_target_properties(http_parser::http_parser PROPERTIES
    IMPORTED_LOCATION ${HTTP_PARSER_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${HTTP_PARSER_INCLUDE_DIR})

find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(asio::asio INTERFACE IMPORTED)
set_target_properties(asio::asio PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${ASIO_INCLUDE_DIR}
    INTERFACE_COMPILE_DEFINITIONS "ASIO_STANDALONE;ASIO_NO_DEPRECATED")
target_link_libraries(asio::asio INTERFACE Threads::Threads)
if(KINETRA_SANITIZE STREQUAL "tsan" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # Asio's fenced blocks use std::atomic_thread_fence, which GCC warns about under TSan.
    target_compile_options(asio::asio INTERFACE -Wno-tsan)
endif()

if(KINETRA_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
endif()
if(KINETRA_BENCH)
    find_package(benchmark REQUIRED)
endif()
