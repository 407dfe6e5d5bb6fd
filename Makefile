# Thin wrapper over CMake. `make demo` runs the main job; `make test` runs every test: the
# formatting check, the normal build, an AddressSanitizer + UndefinedBehaviorSanitizer build,
# the 32-bit Linux build and the 32-bit Windows build (under Wine). Each target installs the
# Debian packages it needs first when any is missing (as root, or through sudo).

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
BUILD32_DIR    ?= build-linux32
WIN32_DIR      ?= build-win32
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS    ?=

# Debian 12 packages the build and the tests need.
PACKAGES := build-essential cmake pkg-config git binutils clang-format \
            libgtest-dev libgmock-dev libssl-dev qt6-base-dev

# 32-bit Linux: multilib compilers and the i386 OpenSSL. 32-bit Windows: MinGW-w64 and Wine
# with 32-bit support to run the tests. GoogleTest for both is built from googletest's sources.
PACKAGES32    := g++-multilib libssl-dev:i386 googletest
PACKAGES_WIN  := g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest wine wine32:i386

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# $(call install-missing,<packages>): apt-get install whatever of <packages> is not installed.
define install-missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi
endef

.PHONY: all deps deps-i386 deps32 deps-win configure build demo test test-normal test-asan \
        test32 test-windows format format-check sonpak clean

all: build

deps:
	$(call install-missing,$(PACKAGES))

deps-i386:
	@dpkg --print-foreign-architectures | grep -qx i386 || \
	  { $(SUDO) dpkg --add-architecture i386 && $(SUDO) apt-get update; }

deps32: deps deps-i386
	$(call install-missing,$(PACKAGES32))

deps-win: deps deps-i386
	$(call install-missing,$(PACKAGES_WIN))

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

test32: deps32
	cmake -S . -B $(BUILD32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_SONPAK=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD32_DIR) -j $(JOBS)
	ctest --test-dir $(BUILD32_DIR) --output-on-failure -j $(JOBS)

# Windows binaries are cross-compiled; their tests run under Wine in a prefix of the build's own.
test-windows: deps-win
	cmake -S . -B $(WIN32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_SONPAK=OFF $(CMAKE_FLAGS)
	cmake --build $(WIN32_DIR) -j $(JOBS)
	WINEPREFIX=$(abspath $(WIN32_DIR))/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
	  ctest --test-dir $(WIN32_DIR) --output-on-failure -j $(JOBS)

# Every C, C++ and header file the project tracks, checked against .clang-format.
FORMAT_FILES = $(shell git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

format:
	clang-format -i $(FORMAT_FILES)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(BUILD32_DIR) $(WIN32_DIR)
