# Thin wrapper over CMake. `make demo` runs the main job; `make test` runs every test: the
# formatting check, then one stage per build: the normal build, AddressSanitizer +
# UndefinedBehaviorSanitizer, the gateway under ThreadSanitizer, clang at -O3, 32-bit Linux,
# 64-bit and 32-bit Windows (under Wine), 64-bit and 32-bit ARM Linux (under qemu-user), and a
# brief fuzzing run; at the end a table of what each stage ran. Each target installs the Debian
# packages it needs first when any is missing (as root, or through sudo).

BUILD_DIR      ?= build
ASAN_BUILD_DIR ?= build-asan
TSAN_BUILD_DIR ?= build-tsan
CLANG_DIR      ?= build-clang
BUILD32_DIR    ?= build-linux32
WIN64_DIR      ?= build-win64
WIN32_DIR      ?= build-win32
ARM64_DIR      ?= build-arm64
ARMHF_DIR      ?= build-armhf
FUZZ_DIR       ?= build-fuzz
BENCH_DIR      ?= build-bench
DEB_DIR        ?= build-deb
JOBS           ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS    ?=
# Every build that make runs treats warnings as errors, and compiles the tools' and tests' units
# in batches (a unity build: their heavy headers are parsed once a batch); a plain `cmake` does
# neither.
CMAKE := cmake
# Ninja builds a target's units while the libraries it links are still being compiled, where
# make waits for each library: the gateway's heaviest unit no longer leaves a core idle. A build
# folder made before keeps the generator it was made with.
export CMAKE_GENERATOR ?= Ninja
CONFIGURE = $(CMAKE) -DVELKOR_WERROR=ON -DVELKOR_UNITY_BUILD=ON $(CMAKE_FLAGS)
# Native test runs start twice as many tests as there are cores: the process tests spend most
# of their time waiting on sockets, servers and timeouts, not on the processor.
TEST_JOBS      ?= $(shell echo $$(( $(JOBS) * 2 )))
# Seconds each fuzzer runs in `make fuzz`, and in the brief run that `make test` includes.
FUZZ_SECONDS    ?= 60
CI_FUZZ_SECONDS ?= 10

# Debian 12 packages the build and the tests need.
PACKAGES := build-essential cmake ninja-build pkg-config git binutils clang-format \
            libgtest-dev libgmock-dev libssl-dev qt6-base-dev nlohmann-json3-dev
# velkor-gateway: HTTP (Boost.Beast and Asio), its store; cpp-httplib is its tests' HTTP client;
# curl drives its API in the demo and in the HTTPS tests, whose certificates openssl makes.
PACKAGES += libboost-dev libcpp-httplib-dev libsqlite3-dev curl openssl
# velkor-gateway on MQTT: the client library, and the broker its tests start.
PACKAGES += libmosquitto-dev mosquitto
# velkor-gateway's CSV import and export of holders.
PACKAGES += libcsv-dev
# velkor-gateway on PostgreSQL: the client library, and the server its tests start.
PACKAGES += libpq-dev postgresql
# velkor-gateway's systemd unit: systemd-analyze rates its exposure.
PACKAGES += systemd
# velkor-gateway's /metrics: its process test checks the text with promtool, which comes only
# with Debian's Prometheus server. `make deps` installs it without its recommended exporter, and
# where systemd started the server on installing it, stops and disables it again: nothing here
# needs it running.
PACKAGES_PROMTOOL := prometheus
# velkor-mpd: MP3 details, its command line and its JSON; lame encodes the MP3 files its tests read.
PACKAGES += libmpg123-dev libcli11-dev nlohmann-json3-dev lame
# The Python, C# and Free Pascal bindings and their tests (normal build only).
PACKAGES += python3 python3-pytest python3-venv python3-setuptools python3-wheel \
            mono-mcs mono-runtime fpc

# Cross builds: Debian's cross compilers, qemu-user to run what this machine cannot, and
# GoogleTest built from googletest's sources. The libraries they link come from the target's
# Debian packages unpacked into the build folder (cmake/toolchains/make-sysroot.sh), never
# installed: SYSROOT32 for 32-bit Linux, SYSROOT_ARM for both ARM builds (the gateway too).
PACKAGES32     := crossbuild-essential-i386 qemu-user googletest
PACKAGES_ARM64 := crossbuild-essential-arm64 qemu-user googletest
PACKAGES_ARMHF := crossbuild-essential-armhf qemu-user googletest
SYSROOT32      := libssl-dev libpcap-dev
SYSROOT_ARM    := libssl-dev libpcap-dev libsqlite3-dev libmosquitto-dev libcsv-dev libpq-dev \
                  libcpp-httplib-dev
# Windows: MinGW-w64 for both widths and Wine. wine64 runs the 64-bit tests on any x86-64
# kernel; the 32-bit tests need Debian's wine32, which runs only where the kernel runs 32-bit
# x86 programs, and is installed only there.
PACKAGES_WIN   := g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 \
                  binutils-mingw-w64-i686 googletest wine wine64
PACKAGES_WINE32 := wine32:i386

# clang with libFuzzer and its sanitizer runtimes for `make fuzz` (clang alone for the clang
# stage); Google Benchmark for `make bench`; gnuplot for the plot of `make bench-gateway`.
PACKAGES_CLANG := clang
PACKAGES_FUZZ  := clang libclang-rt-14-dev
PACKAGES_BENCH := libbenchmark-dev
PACKAGES_BENCH_GATEWAY := gnuplot-nox
# The Debian packages: their manual pages from each program's --help (help2man), their check;
# the throwaway Debian 12 root that `make test-install` installs them into (mmdebstrap).
PACKAGES_DEB   := help2man lintian
PACKAGES_INSTALL := mmdebstrap

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
	  sh tools/build/apt-update.sh && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi
endef

# $(call sysroot,<dpkg architecture>,<build folder>,<packages>): the target's libraries.
sysroot = sh cmake/toolchains/make-sysroot.sh $(1) $(abspath $(2))/sysroot $(3)

# $(call stage-start,<build folder>) and $(call stage-end,<build folder>,<stage name>): the
# stage's wall time, and its ctest results (JUnit) for the table `make test` prints at the end.
stage-start = @mkdir -p $(1) && rm -f $(1)/ctest-results.xml $(1)/stage-seconds && date +%s >$(1)/stage-start
stage-end = @echo "$(2) $$(( $$(date +%s) - $$(cat $(1)/stage-start) ))" >$(1)/stage-seconds
CTEST = ctest --output-on-failure --output-junit ctest-results.xml
# Under emulation: the unit, vector, ABI, integration and gateway tests; not the fuzz corpora's
# replays, whose loops the native builds run.
CTEST_EMULATED = $(CTEST) -LE fuzz

.PHONY: all deps deps32 deps-win deps-arm64 deps-armhf deps-clang configure build demo test \
        test-normal test-asan test-tsan test-clang test32 test-windows test-win64 test-win32 \
        test-arm64 test-armhf test-summary format format-check sonpak clean deps-fuzz fuzz \
        test-fuzz deps-bench bench deps-bench-gateway bench-gateway bench-scale deps-deb deb \
        test-deb test-install

all: build

deps:
	$(call install-missing,$(PACKAGES))
	@if ! dpkg-query -W -f='$${Status}' $(PACKAGES_PROMTOOL) 2>/dev/null | grep -q "install ok installed"; then \
	  echo "Installing: $(PACKAGES_PROMTOOL) (for promtool)"; \
	  sh tools/build/apt-update.sh && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $(PACKAGES_PROMTOOL) && \
	  if [ -d /run/systemd/system ]; then $(SUDO) systemctl disable --now prometheus.service || true; fi; \
	fi

deps32: deps
	$(call install-missing,$(PACKAGES32))

deps-arm64: deps
	$(call install-missing,$(PACKAGES_ARM64))

deps-armhf: deps
	$(call install-missing,$(PACKAGES_ARMHF))

deps-win: deps
	$(call install-missing,$(PACKAGES_WIN))

deps-clang: deps
	$(call install-missing,$(PACKAGES_CLANG))

# With Debian's own flags for packages (DEB_FLAGS, below), so that what a packager's build
# warns about (an unchecked result that fortified headers mark, say) stops this one first.
configure: deps
	$(DEB_FLAGS) && $(CONFIGURE) -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The example host and simulated devices over UDP on 127.0.0.1 for a few seconds.
demo: build
	sh tools/demo/run_demo.sh $(BUILD_DIR)/bin

# Builds and opens Sonpak, the voice bank builder window (needs a display).
sonpak: build
	$(BUILD_DIR)/bin/Sonpak

# The stages one after the other, as the table at the end lists them.
TEST_STAGES := test-normal test-asan test-tsan test-clang test32 test-win64 test-win32 \
               test-arm64 test-armhf
test: format-check
	@for stage in $(TEST_STAGES) test-fuzz test-deb; do $(MAKE) --no-print-directory $$stage || exit 1; done
	@$(MAKE) --no-print-directory test-summary

# What each stage ran: tests run, failed, skipped, the tests' time and the stage's wall time.
test-summary:
	@sh tools/build/test-summary.sh $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(CLANG_DIR) \
	  $(BUILD32_DIR) $(WIN64_DIR) $(WIN32_DIR) $(ARM64_DIR) $(ARMHF_DIR)

test-normal: deps
	$(call stage-start,$(BUILD_DIR))
	$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && $(CTEST) -j $(TEST_JOBS)
	$(call stage-end,$(BUILD_DIR),x86-64)

test-asan: deps
	$(call stage-start,$(ASAN_BUILD_DIR))
	$(CONFIGURE) -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=ON
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST) -j $(TEST_JOBS)
	$(call stage-end,$(ASAN_BUILD_DIR),ASan+UBSan)

# The gateway's threads (link, API, store sync, MQTT) share what it knows of the devices: the
# gateway, the simulator its tests drive, and the gateway's tests under ThreadSanitizer. A race
# stops the process that has it, and so fails its test.
TSAN_TARGETS := velkor-gateway velkor-sim gateway_unit_test gateway_service_test

test-tsan: deps
	$(call stage-start,$(TSAN_BUILD_DIR))
	$(CONFIGURE) -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELKOR_SANITIZE_THREAD=ON -DVELKOR_BUILD_SONPAK=OFF -DVELKOR_BUILD_BINDINGS=OFF
	cmake --build $(TSAN_BUILD_DIR) -j $(JOBS) --target $(TSAN_TARGETS)
	cd $(TSAN_BUILD_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(CTEST) -L gateway -j $(TEST_JOBS)
	$(call stage-end,$(TSAN_BUILD_DIR),ThreadSanitizer)

# clang 14 at -O3 (Release), so that what only its optimiser warns of or breaks shows up: the
# library, the tools, the gateway and their tests (Sonpak's window and the bindings are the
# normal build's).
test-clang: deps-clang
	$(call stage-start,$(CLANG_DIR))
	CC=clang CXX=clang++ $(CONFIGURE) -S . -B $(CLANG_DIR) -DCMAKE_BUILD_TYPE=Release \
	  -DVELKOR_BUILD_SONPAK=OFF -DVELKOR_BUILD_BINDINGS=OFF
	cmake --build $(CLANG_DIR) -j $(JOBS)
	cd $(CLANG_DIR) && $(CTEST) -LE browser -j $(TEST_JOBS)
	$(call stage-end,$(CLANG_DIR),clang-Release)

# $(call linux-cross,<build folder>,<dpkg architecture>,<toolchain>,<build type>,<packages
# unpacked for it>,<stage name>,<CMake options>): one Linux cross stage. The toolchain file asks
# whether the target's programs run here; where they do not, its tests run under qemu-user.
define linux-cross
$(call stage-start,$(1))
$(call sysroot,$(2),$(1),$(5))
$(CONFIGURE) -S . -B $(1) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$(3).cmake \
  -DVELKOR_SYSROOT=$(abspath $(1))/sysroot -DCMAKE_BUILD_TYPE=$(4) -DVELKOR_BUILD_SONPAK=OFF $(7)
cmake --build $(1) -j $(JOBS)
cd $(1) && $(CTEST_EMULATED) -j $(JOBS)
$(call stage-end,$(1),$(6))
endef

# 32-bit x86 Linux at -O3 (Release): natively where the kernel runs 32-bit programs, under
# qemu-i386 where it does not.
test32: deps32
	$(call linux-cross,$(BUILD32_DIR),i386,linux-i686,Release,$(SYSROOT32),i386)

# The ARM boards, with the gateway: 64-bit (arm64, MinSizeRel) under qemu-aarch64, 32-bit
# (armhf, ARMv7, Release) under qemu-arm.
test-arm64: deps-arm64
	$(call linux-cross,$(ARM64_DIR),arm64,linux-aarch64,MinSizeRel,$(SYSROOT_ARM),arm64,-DVELKOR_BUILD_GATEWAY=ON)

test-armhf: deps-armhf
	$(call linux-cross,$(ARMHF_DIR),armhf,linux-armhf,Release,$(SYSROOT_ARM),armhf,-DVELKOR_BUILD_GATEWAY=ON)

# $(call runs-32-bit,DIR): true when this machine runs a 32-bit x86 program.
define runs-32-bit
mkdir -p $(1) && printf 'int main(void) { return 0; }\n' >$(1)/probe32.c && \
  i686-linux-gnu-gcc -static $(1)/probe32.c -o $(1)/probe32 2>/dev/null && $(1)/probe32 2>/dev/null
endef

# Windows binaries are cross-compiled; their tests run under Wine in a prefix of the build's own.
# Parallel tests must not race to create the prefix or to start and stop the wineserver (Debian's
# Wine keeps the server's socket in a fresh /tmp/wine-XXXXXX per server): one persistent server is
# started, the prefix is created once, and the server is stopped whatever the tests' outcome.
# Under Wine a test's process now and then fails to start at all (no output, a few milliseconds):
# a failed test is run once more. The same tests run natively and under the sanitizers without.
# $(call wine-ctest,<build folder>,<wine loader>,<wineserver>,<ctest arguments>)
define wine-ctest
mkdir -p $(1)/wine && cd $(1) && export WINEPREFIX=$(abspath $(1))/wine WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" && $(3) -p && $(2) wineboot --init && \
  { $(CTEST) --repeat until-pass:2 $(4); status=$$?; $(3) -k; exit $$status; }
endef

# 64-bit Windows (Debug), its tests under Debian's wine64.
test-win64: deps-win
	$(call stage-start,$(WIN64_DIR))
	$(CONFIGURE) -S . -B $(WIN64_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DVELKOR_BUILD_SONPAK=OFF
	cmake --build $(WIN64_DIR) -j $(JOBS)
	$(call wine-ctest,$(WIN64_DIR),/usr/lib/wine/wine64,/usr/lib/wine/wineserver64,-j $(JOBS))
	$(call stage-end,$(WIN64_DIR),win64)

# 32-bit Windows (Release): built and linked, its export tables checked; its tests run under
# wine32 where this machine runs 32-bit x86 programs, and are reported as not run elsewhere.
test-win32: deps-win deps32
	$(call stage-start,$(WIN32_DIR))
	$(CONFIGURE) -S . -B $(WIN32_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_SONPAK=OFF
	cmake --build $(WIN32_DIR) -j $(JOBS)
	@if ! $(call runs-32-bit,$(WIN32_DIR)); then \
	  echo "test-win32: this machine does not run 32-bit x86 programs (no IA32 emulation in its"; \
	  echo "kernel), and Debian's Wine runs 32-bit Windows programs only as such: the export"; \
	  echo "tables are checked, the other tests are built but not run."; \
	  $(call win32-exports-only); \
	elif ! $(MAKE) --no-print-directory deps-wine32; then \
	  echo "test-win32: wine32:i386 cannot be installed here (apt's reasons above: a mirror whose"; \
	  echo "i386 indexes lag its amd64 ones cannot install it): the export tables are checked, the"; \
	  echo "other tests are built but not run."; \
	  dpkg-query -W -f='$${Architecture}\n' | grep -qx i386 || $(SUDO) dpkg --remove-architecture i386; \
	  $(call win32-exports-only); \
	elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then \
	  echo "test-win32: Debian's 32-bit Wine loader is installed but does not run here (a 32-bit"; \
	  echo "x86 program the kernel cannot execute): the export tables are checked, the other tests"; \
	  echo "are built but not run."; \
	  $(call win32-exports-only); \
	else \
	  $(call wine-ctest,$(WIN32_DIR),wine,wineserver,-j $(JOBS)); \
	fi
	$(call stage-end,$(WIN32_DIR),win32)

# The 32-bit DLLs' export tables alone, where their other tests cannot run.
win32-exports-only = cd $(WIN32_DIR)/tests/package && ctest --output-on-failure -R '^abi\.dll_exports\.' \
  --output-junit $(abspath $(WIN32_DIR))/ctest-results.xml

deps-wine32: deps-win
	@dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386
	$(call install-missing,$(PACKAGES_WINE32))

test-windows: test-win64 test-win32

# Every C, C++ and header file the project tracks, checked against .clang-format.
FORMAT_FILES = $(shell git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null)

format-check: deps
	clang-format --dry-run --Werror $(FORMAT_FILES)

format:
	clang-format -i $(FORMAT_FILES)

deps-fuzz: deps
	$(call install-missing,$(PACKAGES_FUZZ))

# Builds every fuzz harness with clang (libFuzzer, ASan, UBSan) and runs each for FUZZ_SECONDS,
# JOBS of them at a time (each fuzzer is one process on one core).
# The committed corpora in fuzz/corpus are only read: new inputs go to $(FUZZ_DIR)/corpus/<name>,
# a crash to $(FUZZ_DIR)/crashes/<name>/, each run's output to $(FUZZ_DIR)/logs/<name>.log.
fuzz: deps-fuzz
	CC=clang CXX=clang++ $(CONFIGURE) -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELKOR_BUILD_FUZZERS=ON -DVELKOR_BUILD_TESTS=OFF -DVELKOR_BUILD_SONPAK=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzzers
	@ls $(FUZZ_DIR)/bin/fuzz_* | xargs -P $(JOBS) -n 1 sh fuzz/run_fuzzer.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# The brief fuzzing run of `make test`.
test-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=$(CI_FUZZ_SECONDS)

deps-bench: deps
	$(call install-missing,$(PACKAGES_BENCH))

deps-bench-gateway: deps
	$(call install-missing,$(PACKAGES_BENCH_GATEWAY))

deps-deb: deps
	$(call install-missing,$(PACKAGES_DEB))

# The Debian 12 packages, built with CPack from an install into /usr (no rpath: the libraries
# are in the system's library folder), into build-deb/; their paths are printed at the end. The
# compiler and linker flags are Debian's own for packages, with every hardening feature.
DEB_FLAGS = export DEB_BUILD_MAINT_OPTIONS=hardening=+all && \
  export CFLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" && \
  export CXXFLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" && \
  export LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)"
deb: deps-deb
	$(DEB_FLAGS) && $(CONFIGURE) -S . -B $(DEB_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DCMAKE_SKIP_RPATH=ON -DVELKOR_BUILD_PACKAGES=ON -DVELKOR_BUILD_TESTS=OFF \
	  -DVELKOR_BUILD_BINDINGS=OFF
	cmake --build $(DEB_DIR) -j $(JOBS)
	rm -f $(DEB_DIR)/*.deb
	cd $(DEB_DIR) && cpack -G DEB >cpack.log || { cat cpack.log; exit 1; }
	@ls -1 $(abspath $(DEB_DIR))/*.deb

# The packages, checked by Debian's lintian: any error fails; the warnings it prints are listed,
# with why each stays, in docs/packages.md.
test-deb: deb
	lintian --fail-on error $(DEB_DIR)/*.deb

# The packages installed into a throwaway Debian 12 root (its base kept in ~/.cache/velkor),
# used there, removed and purged: tests/install/test_install.sh. As root: it uses chroot.
test-install: deb
	$(call install-missing,$(PACKAGES_INSTALL))
	$(SUDO) sh tests/install/test_install.sh $(DEB_DIR) .

# Builds the benchmarks as the library ships (RelWithDebInfo, -O2) and runs them; not part of
# `make test`. The ratios and per-record figures are printed at the end.
bench: deps-bench
	$(CONFIGURE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_BENCHMARKS=ON \
	  -DVELKOR_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target velkor-bench
	$(BENCH_DIR)/bin/velkor-bench

# The gateway (SQLite, PostgreSQL) against its floors (echo only; echo with the event reports
# appended and fdatasync'd), 1,000 and 10,000 simulated devices on loopback, polls and event
# reports of 8 records, closed loop and open loop at 10/50/90% of the gateway's capacity: a
# table, the ratios, a data file and a plot in $(BUILD_DIR)/bench-gateway/; about 20 minutes at
# BENCH_SECONDS=8 a run. Not part of `make test`.
BENCH_SECONDS ?= 8
bench-gateway: build deps-bench-gateway
	sh bench/gateway_bench.sh $(BUILD_DIR)/bin $(BENCH_SECONDS) $(BUILD_DIR)/bench-gateway

# 10,000 devices' event reports for 60 s: one gateway on SQLite, two on one PostgreSQL; not in test.
bench-scale: build
	sh bench/gateway_scale.sh $(BUILD_DIR)/bin

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) $(TSAN_BUILD_DIR) $(CLANG_DIR) $(BUILD32_DIR) $(WIN64_DIR) \
	  $(WIN32_DIR) $(ARM64_DIR) $(ARMHF_DIR) $(FUZZ_DIR) $(BENCH_DIR) $(DEB_DIR)
