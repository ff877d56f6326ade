# Two entry points for people: `make run` and `make test`. Everything else is
# for maintainers and CI.
JOBS ?= $(shell nproc)
CTEST_ARGS ?= --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all setup setup-test setup-fuzz setup-deb setup-fb setup-system build configure run test test-fb test-drm test-system \
	asan tsan bench fuzz deb setup-arm64 arm64 test-arm64 deb-arm64 clean

all: build

# scripts/setup installs what each purpose needs: `make run` gets the
# compiler, CMake, Ninja and the libraries only; the others add their own.
setup:
	@bash scripts/setup
setup-test setup-fuzz setup-deb setup-fb setup-system:
	@bash scripts/setup --$(@:setup-%=%)

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release

build: setup build/build.ninja
	cmake --build build -j $(JOBS)

# Configured again: the tests are left out of a tree configured without
# GoogleTest (make run), and come in once it is installed.
configure:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null

run: build
	./build/velmor

test: setup-test configure build
	cd build && ctest $(CTEST_ARGS)

# The player on Debian's kernel framebuffers at 16, 24 and 32 bits per pixel
# under QEMU, screenshots compared pixel by pixel (tests/fb/run.py; about
# 2 minutes, the kernel and clips cached in build/fb-test).
test-fb: setup-fb configure build
	python3 tests/fb/run.py build

# The player on a real kernel DRM driver (bochs-display) under QEMU with
# --output drm: screenshot, snapshot, flips, a second player, SIGTERM, in one
# boot (tests/drm/run.py; the kernel, its modules and clips cached in
# build/drm-test).
test-drm: setup-fb configure build
	python3 tests/drm/run.py build

# The package as users run it: Debian 12 booted with systemd under QEMU, the
# package installed with apt-get as the README says, and the service checked
# (tests/system/run.py; 2½ to 5 minutes, the machine made once, in about 8
# more, and cached in build/system-test).
test-system: setup-system deb
	python3 tests/system/run.py build-deb build/system-test

build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_ASAN=ON -DVELMOR_BENCH=OFF

asan: setup-test build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_ARGS)

build-tsan/build.ninja:
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_TSAN=ON -DVELMOR_BENCH=OFF

tsan: setup-test build-tsan/build.ninja
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" ctest $(CTEST_ARGS)

# libFuzzer runs of FUZZ_SECONDS each, with seeds made afresh (fuzz/run).
FUZZ_SECONDS ?= 60
build-fuzz/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_FUZZ=ON -DVELMOR_TESTS=OFF -DVELMOR_BENCH=OFF

fuzz: setup-fuzz build-fuzz/build.ninja
	cmake --build build-fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run

bench: setup-test configure build
	bash bench/run

# The Debian package (CPack), built for /usr without tests or benchmarks:
# build-deb/velmor_<version>_<arch>.deb.
build-deb/build.ninja:
	cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVELMOR_TESTS=OFF -DVELMOR_BENCH=OFF

deb: setup-deb build-deb/build.ninja
	cmake --build build-deb -j $(JOBS)
	cd build-deb && cpack -G DEB


# The arm64 cross-build, and its tests on an emulated arm64 machine
# (tools/arm64/test), one at a time: the tests' time bounds are made for a
# real processor, and two tests would share two emulated ones. Tests whose
# bounds an emulated processor cannot meet are listed in tools/arm64/excluded.
ARM64_CTEST_ARGS ?= --output-on-failure --timeout 300
setup-arm64:
	@bash scripts/setup --arm64

build-arm64/build.ninja:
	cmake -S . -B build-arm64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DVELMOR_BENCH=OFF

arm64: setup-arm64 build-arm64/build.ninja
	cmake --build build-arm64 -j $(JOBS)

test-arm64: arm64
	bash tools/arm64/test $(ARM64_CTEST_ARGS)

# The Debian package of the arm64 cross-build, as `make deb` makes it:
# build-deb-arm64/velmor_<version>_arm64.deb.
build-deb-arm64/build.ninja:
	cmake -S . -B build-deb-arm64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DCMAKE_INSTALL_PREFIX=/usr -DVELMOR_TESTS=OFF -DVELMOR_BENCH=OFF

deb-arm64: setup-arm64 build-deb-arm64/build.ninja
	cmake --build build-deb-arm64 -j $(JOBS)
	cd build-deb-arm64 && cpack -G DEB


clean:
	rm -rf build build-asan build-tsan build-fuzz build-deb build-arm64 build-deb-arm64
