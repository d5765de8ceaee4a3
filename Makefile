# Front door.  Every target installs the Debian packages it needs (as root,
# with apt-get; scripts/install-deps.sh lists them), builds and goes.  Build
# trees: build-dist/ (libraries and quillon-demo only, as installed), build/
# (everything, release with debug info), build-asan/ (AddressSanitizer +
# UndefinedBehaviorSanitizer), build-tsan/, build-bench/ (release),
# build-ARCH/ (a device's: make cross ARCH=armhf); the Debian packages land
# in build-deb/ (build-deb-ARCH/ for a device's).  Development trees treat compiler
# warnings as errors (QUILLON_WERROR); build-dist/ and the packages, built
# with whatever compiler and flags a distribution has, do not.
JOBS ?= $(shell nproc)
CTEST = ctest --output-on-failure -j $(JOBS)
DEV = -DQUILLON_WERROR=ON

.PHONY: all build test sanitize asan tsan fuzz bench clean dist-build run install package package-check \
	abi-check abi-baseline parsers-check cross cross-test cross-arch

# A bare `make` builds what `make install` installs.
all: dist-build

build:
	@scripts/install-deps.sh build
	cmake -S . -B build $(DEV)
	cmake --build build -j $(JOBS)

test:
	@scripts/install-deps.sh test
	cmake -S . -B build $(DEV)
	cmake --build build -j $(JOBS)
	cd build && $(CTEST)

asan:
	@scripts/install-deps.sh sanitize
	cmake -S . -B build-asan $(DEV) -DSANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DQUILLON_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

tsan:
	@scripts/install-deps.sh sanitize
	cmake -S . -B build-tsan $(DEV) -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DQUILLON_BUILD_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

sanitize: asan tsan

# Devices: ARCH=armhf, arm64 or i386, built with Debian's cross compiler
# through cmake/toolchains/ARCH.cmake into build-ARCH/ (the libraries,
# quillon-demo and the tests).  cross-test runs every test of that build
# under qemu-user, which binfmt_misc starts for every program of ARCH, the
# end-to-end tests' own included (scripts/binfmt.sh); i386 natively where
# the kernel runs 32-bit x86 programs itself.
ARCH ?=
CROSS = build-$(ARCH)
cross-arch:
	@test -f cmake/toolchains/$(ARCH).cmake || \
	    { echo "make: ARCH=$(ARCH): say ARCH=armhf, arm64 or i386 (cmake/toolchains/)" >&2; exit 2; }

cross: cross-arch
	@scripts/install-deps.sh cross $(ARCH)
	cmake -S . -B $(CROSS) $(DEV) --toolchain $(CURDIR)/cmake/toolchains/$(ARCH).cmake -DQUILLON_BUILD_BENCH=OFF
	cmake --build $(CROSS) -j $(JOBS)

cross-test: cross-arch
	@scripts/install-deps.sh cross-test $(ARCH)
	@sh scripts/binfmt.sh $(ARCH)
	cmake -S . -B $(CROSS) $(DEV) --toolchain $(CURDIR)/cmake/toolchains/$(ARCH).cmake -DQUILLON_BUILD_BENCH=OFF
	cmake --build $(CROSS) -j $(JOBS)
	cd $(CROSS) && $(CTEST)

# The build trees, the packages, and what dpkg-buildpackage leaves in debian/.
DEB_PACKAGES = libquillon1 libcarrowen1 libtrevant1 libosprel1 libdunmarr1 libquillon-dev quillon-demo
clean:
	rm -rf build build-asan build-tsan build-fuzz build-dist build-bench build-deb build-deb-* obj-* \
	    $(addprefix build-,$(basename $(notdir $(wildcard cmake/toolchains/*.cmake))))
	rm -rf debian/.debhelper debian/tmp debian/files debian/*.substvars debian/*.debhelper.log \
	    debian/debhelper-build-stamp $(addprefix debian/,$(DEB_PACKAGES))

# Benchmarks: each bench/*/run.sh prints its figures beside its baseline, in
# a release tree of their own (build/ keeps its build type).  BENCH_FILE_MIB,
# BENCH_SESSIONS, BENCH_ROUNDS and BENCH_CAP_SECONDS (each capped transfer's
# length) shrink the FTP benchmark.
bench:
	@scripts/install-deps.sh bench
	cmake -S . -B build-bench $(DEV) -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS)
	@for script in bench/*/run.sh; do echo "== $$script"; sh $$script build-bench || exit 1; done

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
	cmake -S . -B $(DIST) -DQUILLON_WERROR=OFF -DQUILLON_BUILD_TESTS=OFF -DQUILLON_BUILD_BENCH=OFF
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

# The Debian packages of debian/, built the Debian way; dpkg-buildpackage
# writes them next to the source tree, from where they move to build-deb/
# with their .changes and .buildinfo.  ARCH=armhf (arm64, i386): a device's
# packages, built with Debian's cross compiler (dpkg-buildpackage -aARCH,
# the "cross" build profile, no tests: the packages build none anyway),
# into build-deb-ARCH/.
DEB_ARCH = $(or $(ARCH),$(shell dpkg --print-architecture))
DEB_OUT = build-deb$(if $(ARCH),-$(ARCH))
DEB_CROSS_OPTIONS = -a$(ARCH) -Pcross,nocheck
DEB_CROSS_ENV = CC=$(shell dpkg-architecture -a$(ARCH) -qDEB_HOST_GNU_TYPE 2>/dev/null)-gcc DEB_BUILD_OPTIONS=nocheck
package:
	@scripts/install-deps.sh package $(ARCH)
	$(if $(ARCH),$(DEB_CROSS_ENV)) dpkg-buildpackage -us -uc -b $(if $(ARCH),$(DEB_CROSS_OPTIONS))
	rm -rf $(DEB_OUT) && mkdir $(DEB_OUT)
	changes=quillon_$$(dpkg-parsechangelog -S Version)_$(DEB_ARCH).changes && \
	    for file in $$changes $$(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* [^ ]* [^ ]* //p' ../$$changes); do \
	        mv "../$$file" $(DEB_OUT)/ || exit 1; \
	    done
	@ls $(DEB_OUT)

# CI: the packages, lintian on them (any error or warning fails) and what
# each holds; a device's quillon-demo runs under qemu-user.
package-check: package
	@scripts/install-deps.sh lint $(ARCH)
	$(if $(ARCH),@sh scripts/binfmt.sh $(ARCH))
	sh tests/install/package_test.sh $(DEB_OUT) $(DEB_ARCH)

# The ABI of build-dist/'s libraries against the baseline in abi/ (abidiff);
# abi-baseline records the current one there, deliberately.
abi-check: dist-build
	@scripts/install-deps.sh abi
	sh scripts/abi-check.sh $(DIST)
abi-baseline: dist-build
	@scripts/install-deps.sh abi
	sh scripts/abi-check.sh --update $(DIST)

# The lnav format and the rsyslog rule base of parsers/ on lines that
# quillon-demo and the libraries print (needs root for network namespaces).
parsers-check: dist-build
	@scripts/install-deps.sh parsers
	sh parsers/check.sh $(DIST)
