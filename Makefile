# Thin wrapper over CMake. `make demo` runs the main job; `make test` runs every test: the
# formatting check, the normal build, an AddressSanitizer + UndefinedBehaviorSanitizer build,
# a ThreadSanitizer build of the gateway, the 32-bit Linux build and the 32-bit Windows build
# (under Wine). Each target installs the
# Debian packages it needs first when any is missing (as root, or through sudo).

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
BUILD32_DIR    ?= build-linux32
WIN32_DIR      ?= build-win32
FUZZ_DIR       ?= build-fuzz
BENCH_DIR      ?= build-bench
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS    ?=
# Seconds each fuzzer runs in `make fuzz`, and in the brief run that `make test` includes.
FUZZ_SECONDS    ?= 60
CI_FUZZ_SECONDS ?= 10

# Debian 12 packages the build and the tests need.
PACKAGES := build-essential cmake pkg-config git binutils clang-format \
            libgtest-dev libgmock-dev libssl-dev qt6-base-dev nlohmann-json3-dev
# velkor-gateway: HTTP (Boost.Beast and Asio), its store; cpp-httplib is its tests' HTTP client;
# curl drives its API in the demo.
PACKAGES += libboost-dev libcpp-httplib-dev libsqlite3-dev curl
# velkor-gateway on MQTT: the client library, and the broker its tests start.
PACKAGES += libmosquitto-dev mosquitto
# velkor-gateway on PostgreSQL: the client library, and the server its tests start.
PACKAGES += libpq-dev postgresql
# velkor-mpd: MP3 details, its command line and its JSON; lame encodes the MP3 files its tests read.
PACKAGES += libmpg123-dev libcli11-dev nlohmann-json3-dev lame
# The Python, C# and Free Pascal bindings and their tests (normal build only).
PACKAGES += python3 python3-pytest python3-venv python3-setuptools python3-wheel \
            mono-mcs mono-runtime fpc

# 32-bit Linux: multilib compilers and the i386 OpenSSL. 32-bit Windows: MinGW-w64 and Wine
# with 32-bit support to run the tests. GoogleTest for both is built from googletest's sources.
PACKAGES32    := g++-multilib libssl-dev:i386 googletest libpcap-dev:i386
PACKAGES_WIN  := g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest wine wine32:i386

# clang with libFuzzer and its sanitizer runtimes for `make fuzz`; Google Benchmark for
# `make bench`.
PACKAGES_FUZZ  := clang libclang-rt-14-dev
PACKAGES_BENCH := libbenchmark-dev

# velkor-inspect's JSON, capture files and live capture; the Wireshark plugin and its tests.
PACKAGES += nlohmann-json3-dev libpcap-dev tshark wireshark-dev
# The gateway's web console test: headless Chromium driven by Selenium (ctest -L browser).
PACKAGES += chromium chromium-driver python3-selenium

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
        test-tsan test32 test-windows format format-check sonpak clean deps-fuzz fuzz test-fuzz \
        deps-bench bench bench-gateway bench-scale

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

test: format-check test-normal test-asan test-tsan test32 test-windows test-fuzz

test-normal: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

# The gateway's threads (link, API, store sync, MQTT) share what it knows of the devices: the
# gateway, the simulator its tests drive, and the gateway's tests under ThreadSanitizer. A race
# stops the process that has it, and so fails its test.
TSAN_TARGETS := velkor-gateway velkor-sim gateway_unit_test gateway_service_test

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_SANITIZE_THREAD=ON \
	  -DVELKOR_BUILD_SONPAK=OFF -DVELKOR_BUILD_BINDINGS=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD_DIR) -L gateway --output-on-failure -j $(JOBS)

# $(call cannot-run-32-bit,DIR): true when a 32-bit x86 program built here does not run, as on
# a kernel built without IA32 emulation. There the 32-bit builds are compiled and linked, and say
# that their tests (which run the programs, also under Wine) cannot run. Where no 32-bit program
# can be built to ask (no multilib compiler), the tests run as always.
define cannot-run-32-bit
mkdir -p $(1) && printf 'int main(void) { return 0; }\n' > $(1)/probe32.c && \
  gcc -m32 $(1)/probe32.c -o $(1)/probe32 2>/dev/null && ! $(1)/probe32 2>/dev/null
endef
NO_32_BIT = echo "$@: this machine does not run 32-bit x86 programs (no IA32 emulation in its \
kernel): the build is compiled and linked, its tests are not run"

test32: deps32
	@if $(call cannot-run-32-bit,$(BUILD32_DIR)); then $(NO_32_BIT); tests=OFF; else tests=ON; fi; \
	cmake -S . -B $(BUILD32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_SONPAK=OFF -DVELKOR_BUILD_TESTS=$$tests \
	  $(CMAKE_FLAGS) && \
	cmake --build $(BUILD32_DIR) -j $(JOBS) && \
	if [ $$tests = ON ]; then ctest --test-dir $(BUILD32_DIR) --output-on-failure -j $(JOBS); fi

# Windows binaries are cross-compiled; their tests run under Wine in a prefix of the build's own.
# Parallel tests must not race to create the prefix or to start and stop the wineserver (Debian's
# Wine keeps the server's socket in a fresh /tmp/wine-XXXXXX per server): one persistent server is
# started, the prefix is created once, and the server is stopped whatever the tests' outcome.
WINE_ENV = WINEPREFIX=$(abspath $(WIN32_DIR))/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

test-windows: deps-win
	@if $(call cannot-run-32-bit,$(WIN32_DIR)); then $(NO_32_BIT); tests=OFF; else tests=ON; fi; \
	cmake -S . -B $(WIN32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_SONPAK=OFF -DVELKOR_BUILD_TESTS=$$tests \
	  $(CMAKE_FLAGS) && \
	cmake --build $(WIN32_DIR) -j $(JOBS) && \
	if [ $$tests = ON ]; then \
	  mkdir -p $(WIN32_DIR)/wine && \
	  $(WINE_ENV) wineserver -p && \
	  $(WINE_ENV) wine wineboot --init && \
	  { $(WINE_ENV) ctest --test-dir $(WIN32_DIR) --output-on-failure -j $(JOBS); \
	    status=$$?; $(WINE_ENV) wineserver -k; exit $$status; }; \
	fi

# Every C, C++ and header file the project tracks, checked against .clang-format.
FORMAT_FILES = $(shell git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

format:
	clang-format -i $(FORMAT_FILES)

deps-fuzz: deps
	$(call install-missing,$(PACKAGES_FUZZ))

# Builds every fuzz harness with clang (libFuzzer, ASan, UBSan) and runs each for FUZZ_SECONDS.
# The committed corpora in fuzz/corpus are only read: new inputs go to $(FUZZ_DIR)/corpus/<name>,
# a crash to $(FUZZ_DIR)/crashes/<name>/, each run's output to $(FUZZ_DIR)/logs/<name>.log.
fuzz: deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELKOR_BUILD_FUZZERS=ON -DVELKOR_BUILD_TESTS=OFF -DVELKOR_BUILD_SONPAK=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for fuzzer in $(FUZZ_DIR)/bin/fuzz_*; do \
	  name=$${fuzzer##*/fuzz_}; log=$(FUZZ_DIR)/logs/$$name.log; \
	  mkdir -p $(FUZZ_DIR)/corpus/$$name $(FUZZ_DIR)/crashes/$$name $(FUZZ_DIR)/logs; \
	  if ! $$fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=4608 -print_final_stats=1 \
	      -artifact_prefix=$(FUZZ_DIR)/crashes/$$name/ $(FUZZ_DIR)/corpus/$$name fuzz/corpus/$$name \
	      > $$log 2>&1; then \
	    tail -n 60 $$log; echo "fuzz_$$name FAILED: input kept in $(FUZZ_DIR)/crashes/$$name/"; \
	    exit 1; \
	  fi; \
	  printf '%-24s %10s execs in %ss, corpus %s, coverage %s\n' fuzz_$$name \
	    "$$(sed -n 's/^stat::number_of_executed_units: *//p' $$log)" $(FUZZ_SECONDS) \
	    "$$(sed -n 's/.*DONE .*corp: \([0-9]*\).*/\1/p' $$log)" \
	    "$$(sed -n 's/.*DONE .*cov: \([0-9]*\).*/\1/p' $$log)"; \
	done

# The brief fuzzing run of `make test`.
test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=$(CI_FUZZ_SECONDS)

deps-bench: deps
	$(call install-missing,$(PACKAGES_BENCH))

# Builds the benchmarks as the library ships (RelWithDebInfo, -O2) and runs them; not part of
# `make test`. The ratios and per-record figures are printed at the end.
bench: deps-bench
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_BENCHMARKS=ON \
	  -DVELKOR_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_DIR) -j $(JOBS) --target velkor-bench
	$(BENCH_DIR)/bin/velkor-bench

# The gateway against its floor: 1,000 simulated devices in load mode on loopback, polls and
# event reports of 8 records, throughput and latency; not part of `make test`.
bench-gateway: build
	sh bench/gateway_bench.sh $(BUILD_DIR)/bin

# 10,000 devices' event reports for 60 s: one gateway on SQLite, two on one PostgreSQL; not in test.
bench-scale: build
	sh bench/gateway_scale.sh $(BUILD_DIR)/bin

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(BUILD32_DIR) $(WIN32_DIR) $(FUZZ_DIR) $(BENCH_DIR)
