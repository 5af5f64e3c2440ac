# Set-up and everyday commands. `make run` builds the tool and runs it on the
# bundled sample; `make test` builds and runs every test (a plain build, a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and a clang
# build that also compiles the fuzz targets).

GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja,)
JOBS ?= 2
CTEST := ctest --output-on-failure -j$(JOBS)

.PHONY: all build run test test-gcc test-asan test-clang fuzz bench windows clean

all: build

build:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j$(JOBS)

run: build
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
	CXX=clang++ cmake -S . -B build-clang $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_FUZZ=ON
	cmake --build build-clang -j$(JOBS)
	cd build-clang && $(CTEST)

# Runs each scanner's fuzzer for FUZZ_SECONDS (default 60) from the kept inputs.
FUZZ_SECONDS ?= 60
fuzz: test-clang
	for t in bmp jpeg png; do \
	  mkdir -p build-clang/corpus-$$t && \
	  build-clang/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) build-clang/corpus-$$t tests/fuzz/corpus/$$t || exit 1; \
	done

bench:
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQX_BENCH=ON -DQX_BUILD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	build-bench/bench/quarrix_bench

clean:
	rm -rf build build-asan build-clang build-bench build-win64 build-win32
