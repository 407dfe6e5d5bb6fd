# Thin wrapper over CMake. `make demo` runs the main job, `make test` runs every test (normal
# build, then an AddressSanitizer + UndefinedBehaviorSanitizer build). Both install the Debian
# packages they need first when any is missing (as root, or through sudo).

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS    ?=

# Debian 12 packages the build and the tests need.
PACKAGES := build-essential cmake pkg-config git binutils clang-format \
            libgtest-dev libgmock-dev libssl-dev qt6-base-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build demo test test-normal test-asan format format-check sonpak clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The example host and simulated devices over UDP on 127.0.0.1 for a few seconds.
demo: build
	sh tools/demo/run_demo.sh $(BUILD_DIR)/bin

# Builds and opens Sonpak, the voice bank builder window (needs a display).
sonpak: build
	$(BUILD_DIR)/bin/Sonpak

test: format-check test-normal test-asan

test-normal: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

# Every C, C++ and header file the project tracks, checked against .clang-format.
FORMAT_FILES = $(shell git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

format:
	clang-format -i $(FORMAT_FILES)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR)
