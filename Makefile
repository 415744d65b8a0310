# The two set-up commands: `make run` builds and starts the server in the
# current directory; `make test` builds and runs every test. Both install
# the tools they need on a fresh Debian machine (as root) or say what is missing.
# `make install` (PREFIX, DESTDIR) installs the server, its man pages and its
# systemd unit; `make package` builds the Debian package into build/package/.

# Building and running the server; libsystemd lets it report readiness to
# systemd (the build goes on without it, with a Type=simple unit). CLI11
# parses the server's command line (header-only); cpp-httplib serves the
# admin endpoint.
# dpkg-buildflags (dpkg-dev) gives the release build its hardening flags.
PACKAGES := cmake ninja-build g++ pkg-config libcli11-dev libsystemd-dev nlohmann-json3-dev libcpp-httplib-dev \
	dpkg-dev
# Only the tests need GoogleTest.
TEST_PACKAGES := libgtest-dev libgmock-dev
# CPack finds the package's library dependencies with dpkg-shlibdeps (dpkg-dev)
# and file.
PACKAGE_PACKAGES := file
FUZZ_PACKAGES := clang libclang-rt-14-dev llvm
# The house rules: formatting, clang-tidy, and a clang build that checks the
# lock annotations with warnings as errors.
CHECK_PACKAGES := clang clang-format clang-tidy
# Seconds each fuzz target runs: `make fuzz` by hand, `make fuzz-ci` in CI.
FUZZ_SECONDS ?= 600
FUZZ_CI_SECONDS ?= 60
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= 2
# Shown by `--version`; empty outside a git checkout.
COMMIT := $(shell git describe --always --dirty 2>/dev/null)
SHELL := /bin/bash

.PHONY: run test test-asan test-tsan build build-server install package check \
	deps test-deps package-deps fuzz-deps check-deps fuzz fuzz-ci clean

deps: PKGS = $(PACKAGES)
test-deps: PKGS = $(PACKAGES) $(TEST_PACKAGES)
package-deps: PKGS = $(PACKAGES) $(PACKAGE_PACKAGES)
fuzz-deps: PKGS = $(PACKAGES) $(FUZZ_PACKAGES)
check-deps: PKGS = $(PACKAGES) $(TEST_PACKAGES) $(CHECK_PACKAGES)
deps test-deps package-deps fuzz-deps check-deps:
	@missing=""; \
	for p in $(PKGS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Please install:$$missing (sudo apt-get install$$missing)"; exit 1; \
	  fi; \
	fi

# The release build, which is what gets installed and packaged, has the
# distribution's full hardening: _FORTIFY_SOURCE, the stack protector, PIE,
# read-only relocations bound at start. The sanitizer, fuzz and lint presets
# go without: _FORTIFY_SOURCE's checked functions get in the sanitizers' way.
HARDENING = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
RELEASE_FLAGS = -DCMAKE_CXX_FLAGS="$$($(HARDENING) CPPFLAGS) $$($(HARDENING) CXXFLAGS)" \
	-DCMAKE_EXE_LINKER_FLAGS="$$($(HARDENING) LDFLAGS)"

# Everything: the programs, the tests and the benchmark.
build: test-deps
	cmake --preset release -DQUORVANE_COMMIT=$(COMMIT) $(RELEASE_FLAGS) >/dev/null
	cmake --build --preset release -j $(JOBS)

# Only the two programs, which is all that running, installing and
# packaging need.
build-server: deps
	cmake --preset release -DQUORVANE_COMMIT=$(COMMIT) $(RELEASE_FLAGS) >/dev/null
	cmake --build --preset release -j $(JOBS) --target quorvane quorvane-ctl

run: build-server
	./build/quorvane

# Stripped, as the package's programs are: the debug symbols make them some
# 25 times larger.
install: build-server
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)" --strip

package: package-deps build-server
	rm -rf build/package
	cd build && cpack -G DEB -B package

test: build
	ctest --preset release

test-asan: test-deps
	cmake --preset asan -DQUORVANE_COMMIT=$(COMMIT) >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

test-tsan: test-deps
	cmake --preset tsan -DQUORVANE_COMMIT=$(COMMIT) >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

# Each target runs on a scratch copy of its seed corpus (fuzz/corpus/), so
# the repository only changes when a finding is added by hand. Any crash,
# leak or sanitizer report fails.
fuzz fuzz-ci: SECONDS_EACH = $(if $(filter fuzz-ci,$@),$(FUZZ_CI_SECONDS),$(FUZZ_SECONDS))
fuzz fuzz-ci: fuzz-deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	@for t in Session:session Config:config AddressList:address_list; do \
	  name=$${t%%:*}; corpus=$${t#*:}; scratch=$$(mktemp -d); \
	  echo "== $${name}Fuzzer for $(SECONDS_EACH) s"; \
	  ASAN_OPTIONS=quarantine_size_mb=64:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    ./build-fuzz/fuzz/$${name}Fuzzer -max_total_time=$(SECONDS_EACH) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$${name}- $$scratch fuzz/corpus/$$corpus 2>&1 | tail -n 25; \
	  status=$${PIPESTATUS[0]}; rm -rf $$scratch; \
	  if [ $$status -ne 0 ]; then echo "$${name}Fuzzer failed"; exit 1; fi; \
	done

# Sources of the system and its tools (tests and fuzz targets are held to
# formatting and the lint build, not to clang-tidy).
LIBRARY_SOURCES = $(shell git ls-files '*.cpp' | grep -Ev '^(tests|fuzz)/')

check: check-deps
	@echo "== clang-format"
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	@echo "== clang, -Wthread-safety -Werror"
	cmake --preset lint >/dev/null
	cmake --build --preset lint -j $(JOBS)
	@echo "== clang-tidy"
	printf '%s\n' $(LIBRARY_SOURCES) | xargs -P $(JOBS) -n 4 clang-tidy -p build-lint --quiet --warnings-as-errors='*'

clean:
	rm -rf build build-asan build-tsan build-fuzz build-lint
