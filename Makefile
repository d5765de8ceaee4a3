# Front door.  `make run` and `make test` install what they need (as root,
# with apt-get), build and go.  Build trees: build/ (release with debug info),
# build-asan/ (AddressSanitizer + UndefinedBehaviorSanitizer), build-tsan/.
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)

.PHONY: all build test sanitize asan tsan fuzz bench clean

all: build

build:
	@scripts/install-deps.sh build
	cmake -S . -B build
	cmake --build build -j $(JOBS)

test:
	@scripts/install-deps.sh test
	cmake -S . -B build
	cmake --build build -j $(JOBS)
	cd build && $(CTEST)

asan:
	@scripts/install-deps.sh sanitize
	cmake -S . -B build-asan -DSANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DQUILLON_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

tsan:
	@scripts/install-deps.sh sanitize
	cmake -S . -B build-tsan -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DQUILLON_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

sanitize: asan tsan

clean:
	rm -rf build build-asan build-tsan build-fuzz

# Benchmarks: each bench/*/run.sh prints its figures beside its baseline.
bench:
	@scripts/install-deps.sh bench
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)
	@for script in bench/*/run.sh; do sh $$script build || exit 1; done

# Brief coverage-guided fuzzing of the FTP server's path resolution and
# command parsing (clang's libFuzzer).
fuzz:
	@scripts/install-deps.sh fuzz
	sh fuzz/run.sh build-fuzz
