# Set-up and everyday commands. `make run` builds the tool and runs it on the
# bundled sample; `make test` builds and runs every test (a plain build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and a clang
# build that also compiles the fuzz targets and the benchmarks).

GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)
JOBS ?= 2
CTEST := ctest --output-on-failure -j$(JOBS)

.PHONY: all build run test test-gcc test-asan test-clang fuzz bench windows test-windows \
	install package clean

all: build

build:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

# Builds the tool alone, not its tests.
run:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build build --target quarrix -j$(JOBS)
	rm -rf build/run && mkdir -p build/run
	cp samples/sample.bin build/run/
	touch -d '2000-01-01 00:00:00' build/run/sample.bin
	cd build/run && ../quarrix -extract=ALL sample.bin
	@echo "written to build/run:" && ls build/run

test: test-gcc test-asan test-clang

test-gcc: build
	cd build && $(CTEST)

test-asan:
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

test-clang:
	CXX=clang++ cmake -S . -B build-clang $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_FUZZ=ON -DQX_BENCH=ON
	cmake --build build-clang -j$(JOBS)
	cd build-clang && $(CTEST)

# Runs each scanner's fuzzer, and the unpacking's, for FUZZ_SECONDS (default
# 60) from the kept inputs.
FUZZ_SECONDS ?= 60
fuzz: test-clang
	for t in bmp jpeg png gif ico unpack programs; do \
	  mkdir -p build-clang/corpus-$$t && \
	  build-clang/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) build-clang/corpus-$$t tests/fuzz/corpus/$$t || exit 1; \
	done

bench:
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON -DQX_BUILD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	build-bench/bench/quarrix_bench
	build-bench/bench/quarrix_run_bench

# Windows: 64-bit and 32-bit quarrix.exe cross-built with MinGW-w64. Both
# builds also hold the tests, which ctest runs under Wine through
# cmake/wine-run.sh: headless, with a Wine prefix of its own in each build
# directory. The build (whose test discovery runs the 64-bit test programs
# already) and the tests share one lasting Wine server, started and stopped
# by cmake/wine-session.sh. The 32-bit tests run only where the machine can
# run 32-bit programs under Wine's 32-bit loader (wine32:i386); elsewhere
# they are built and the reason they are not run is printed.
WIN64_CONFIG := cmake -S . -B build-win64 $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
WIN32_CONFIG := cmake -S . -B build-win32 $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake -DQX_BUILD_TESTS=ON

windows:
	$(WIN64_CONFIG)
	cmake --build build-win64 --target quarrix -j$(JOBS)
	$(WIN32_CONFIG)
	cmake --build build-win32 --target quarrix -j$(JOBS)

test-windows:
	$(WIN64_CONFIG)
	cmake/wine-session.sh $(CURDIR)/build-win64/wineprefix \
	  sh -c 'cmake --build build-win64 -j$(JOBS) && cd build-win64 && $(CTEST)'
	$(WIN32_CONFIG)
	cmake --build build-win32 -j$(JOBS)
	@if cmake/can-run-win32.sh $(CURDIR)/build-win32; then \
	  QX_WINE_32BIT=1 cmake/wine-session.sh $(CURDIR)/build-win32/wineprefix \
	    sh -c 'cd build-win32 && $(CTEST)'; \
	fi

# Installs the program, its manual page, README and LICENSE under PREFIX
# (bin/, share/man/man1/, share/doc/quarrix/); DESTDIR, when given, is put in
# front of every installed path (staged installs).
PREFIX ?= /usr/local
install:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build build --target quarrix -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# Packages, all put in dist/: the Debian package of the Linux build and a zip
# of each Windows build (quarrix.exe, README.md, LICENSE). cpack packs what the
# builds above made; with Ninja it builds nothing itself.
VERSION := $(shell sed -n 's/^project.Quarrix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
DEB_ARCH := $(shell dpkg --print-architecture 2>/dev/null || echo amd64)
DIST := dist
package: windows
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build build --target quarrix -j$(JOBS)
	cd build && cpack -G DEB
	cd build-win64 && cpack -G ZIP
	cd build-win32 && cpack -G ZIP
	rm -rf $(DIST) && mkdir -p $(DIST)
	cp build/quarrix_$(VERSION)_$(DEB_ARCH).deb build-win64/quarrix-$(VERSION)-win64.zip \
	  build-win32/quarrix-$(VERSION)-win32.zip $(DIST)/
	@echo "packages in $(DIST)/:" && ls -l $(DIST)

clean:
	rm -rf build build-asan build-clang build-bench build-win64 build-win32 $(DIST)
