# Cross-build for 64-bit ARM with Debian's cross compiler and the arm64
# libraries of Debian's multiarch packages (scripts/setup --arm64 installs
# both): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The arm64 .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run in an arm64 virtual machine (tools/arm64/): the wrapper
# hands each one to the machine started by tools/arm64/test. Listing the
# tests runs them too, so that waits for the test run instead of the build.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/arm64/vm-run")
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
