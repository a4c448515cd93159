# The two commands a new machine needs are `make run` and `make test`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test bench run service service-stack install package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@if [ ! -f $(BUILD_DIR)/build.ninja ]; then \
		cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS); \
	fi

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j 2

bench: build
	@scripts/run-bench $(BUILD_DIR)

run: build
	@scripts/run-app $(BUILD_DIR)

service: deps
	@scripts/service

# The service on nginx + PHP-FPM + a throw-away PostgreSQL cluster: https on 127.0.0.1:8443 with a
# throwaway certificate, http on 127.0.0.1:8765 redirecting there; Ctrl+C stops it.
service-stack: deps
	@server/deploy/local-stack.sh

# PREFIX defaults to /usr/local; the package installs under /usr.
install: build
	@cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX))

package: build
	@cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR)
