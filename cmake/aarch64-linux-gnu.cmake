# Cross-compiling for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu:
#   cmake --toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_FIND_ROOT_PATH=DIR ...
# DIR holds what the build needs of the target beyond the compiler's own C
# and C++ libraries, laid out as usr/include and usr/lib: CPython's headers
# for the module, GoogleTest for the core tests (scripts/aarch64 makes it
# from an arm64 Debian root).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)

# Headers, libraries and packages of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs run on the target, not here: GoogleTest lists their
# tests when ctest runs there.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
