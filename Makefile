# The two set-up commands: `make run` builds and starts the server in the
# current directory; `make test` builds and runs every test. Both install
# the tools they need on a fresh Debian machine (as root) or say what is missing.

PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev
JOBS ?= 2

.PHONY: run test test-asan test-tsan build deps clean

deps:
	@missing=""; \
	for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "Please install:$$missing (sudo apt-get install$$missing)"; exit 1; \
	  fi; \
	fi

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

run: build
	./build/quorvane

test: build
	ctest --preset release

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

clean:
	rm -rf build build-asan build-tsan
