find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
# libcurl: linked only by the HTTP module (src/platform/http), never by the programs.
find_package(CURL REQUIRED)
# URL parsing in the core: a plain C library with no dependencies of its own.
find_package(uriparser 0.9.7 REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
# The daemon's event loop; only the target that holds the loop links it.
pkg_check_modules(UV REQUIRED IMPORTED_TARGET libuv)
find_package(CLI11 2.1 REQUIRED)
if(TAVRA_TESTS)
  find_package(GTest REQUIRED)
endif()
if(TAVRA_BENCH AND NOT TAVRA_FUZZ)
  find_package(benchmark REQUIRED)
endif()
