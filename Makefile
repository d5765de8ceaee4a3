# Front door.  Every target installs the Debian packages it needs (as root,
# with apt-get; scripts/install-deps.sh lists them), builds and goes.  Build
# trees: build-dist/ (libraries and quillon-demo only), build/ (everything,
# release with debug info), build-asan/ (AddressSanitizer +
# UndefinedBehaviorSanitizer), build-tsan/.
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)

.PHONY: all build test sanitize asan tsan fuzz bench clean dist-build run install package

# A bare `make` builds what `make install` installs.
all: dist-build

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
	rm -rf build build-asan build-tsan build-fuzz build-dist

# Benchmarks: each bench/*/run.sh prints its figures beside its baseline.
bench:
	@scripts/install-deps.sh bench
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
	cmake --build build -j $(JOBS)
	@for script in bench/*/run.sh; do sh $$script build || exit 1; done

# Brief coverage-guided fuzzing of the FTP server's path resolution, command
# parsing and accounts file (clang's libFuzzer).
fuzz:
	@scripts/install-deps.sh fuzz
	sh fuzz/run.sh build-fuzz

# The example host quillon-demo, built without tests or benchmarks in
# build-dist/ (so only the build packages are needed) and run until Ctrl-C.
# Options go in RUN_ARGS, e.g. make run RUN_ARGS="-p 4 -i 10"; TLS=1 below.
DIST = build-dist
RUN_ARGS ?=
dist-build:
	@scripts/install-deps.sh dist
	cmake -S . -B $(DIST) -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCH=OFF
	cmake --build $(DIST) -j $(JOBS)

# make run TLS=1: FTP over TLS required, with a self-signed certificate for
# localhost made once in build-dist/tls/ (its key readable by its owner only).
TLS ?=
TLS_DIR = $(abspath $(DIST))/tls
TLS_ENV = $(if $(TLS),OSPREL_FTP_TLS=required OSPREL_FTP_TLS_CERT=$(TLS_DIR)/localhost.pem \
	OSPREL_FTP_TLS_KEY=$(TLS_DIR)/localhost-key.pem)
$(TLS_DIR)/localhost.pem:
	@scripts/install-deps.sh run
	mkdir -p $(TLS_DIR)
	umask 077 && openssl req -x509 -newkey rsa:2048 -nodes -days 365 -subj /CN=localhost \
	    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
	    -keyout $(TLS_DIR)/localhost-key.pem -out $@.new
	chmod 644 $@.new && mv $@.new $@

run: dist-build $(if $(TLS),$(TLS_DIR)/localhost.pem)
	@scripts/install-deps.sh run
	$(TLS_ENV) $(DIST)/examples/quillon-demo $(RUN_ARGS)

# Installs the libraries, headers, pkg-config and CMake files and
# quillon-demo under PREFIX (default /usr/local).
PREFIX ?= /usr/local
install: dist-build
	cmake --install $(DIST) --prefix $(PREFIX)
	@if [ "$$(id -u)" = 0 ]; then ldconfig; fi

# build-dist/quillon_<version>_amd64.deb
package: dist-build
	@scripts/install-deps.sh package
	cd $(DIST) && cpack -G DEB
