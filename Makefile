# Entry points: `make demo` and `make test` each do the whole set-up on a fresh Debian 12 machine.
#   make build   install missing Debian packages, configure and build into build/
#   make test    the whole suite: release build, then ASan+UBSan build, ThreadSanitizer build of
#                the threaded tests, and a short run of every libFuzzer target
#   make demo    the gateway on the simulated card, inside a private network namespace
#   make fuzz-long every libFuzzer target for FUZZ_SECONDS each (600 unless given)
#   make soak    the soak and fault campaign, SOAK_MINUTES minutes (10), in a private namespace
#   make bench   build and run the benchmarks (release build)
#   make install-wireshark-plugin  the Wireshark plugin into ~/.local/lib/wireshark/plugins
#   make package the Debian package build/fipgate_<version>_<arch>.deb from the release build
#   make format  clang-format every source file in place
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
CI ?=
WERROR := $(if $(CI),ON,OFF)
CTEST := ctest --output-on-failure --timeout 300 -j $(JOBS)
# ccache, when present, keeps the four build trees (and several work trees) from compiling the same
# unchanged sources again. The tests' precompiled header is only cached with the sloppiness below:
# without it ccache compiles every test uncached.
CCACHE_PCH := env;CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime;ccache
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER='$(CCACHE_PCH)' -DCMAKE_CXX_COMPILER_LAUNCHER='$(CCACHE_PCH)')
CONFIGURE = cmake -S . -G Ninja -DFIPGATE_WERROR=$(WERROR) $(LAUNCHER) $(CMAKE_FLAGS)

.PHONY: deps build install-wireshark-plugin test test-release test-asan test-tsan test-fuzz fuzz-long soak demo bench package format format-check clean

deps:
	@scripts/install-deps

# The release build is also the one packaged: Debian's paths (/usr, /etc, multiarch libraries).
build: deps
	$(CONFIGURE) -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build -j $(JOBS)

# The compiled Wireshark plugin of the release build into this user's personal plugin folder.
install-wireshark-plugin: build
	cmake --build build --target install-wireshark-plugin-user

package: build
	cd build && cpack -G DEB

test: format-check test-release test-asan test-tsan test-fuzz

test-release: build
	$(CTEST) --test-dir build

test-asan: deps
	$(CONFIGURE) -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIPGATE_SANITIZE=address,undefined -DFIPGATE_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) --test-dir build-asan

# Only the tests of threaded components, labelled `tsan` in tests/CMakeLists.txt: a whole-tree
# TSan build would double the CI time.
test-tsan: deps
	$(CONFIGURE) -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIPGATE_SANITIZE=thread -DFIPGATE_BENCH=OFF
	cmake --build build-tsan -j $(JOBS) --target tsan-tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) --test-dir build-tsan -L tsan

# Each fuzzer runs FUZZ_SECONDS (30 in CI); `make fuzz-long FUZZ_SECONDS=600` runs them longer.
FUZZ_SECONDS ?= 30
FUZZ_CONFIGURE = CC=clang CXX=clang++ $(CONFIGURE) -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DFIPGATE_FUZZ=ON -DFIPGATE_FUZZ_SECONDS=$(FUZZ_SECONDS)
test-fuzz: deps
	$(FUZZ_CONFIGURE)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	$(CTEST) --test-dir build-fuzz -L fuzz

fuzz-long: FUZZ_SECONDS = 600
fuzz-long: deps
	$(FUZZ_CONFIGURE)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	$(CTEST) --test-dir build-fuzz -L fuzz

demo: build
	scripts/demo

# Not part of `make test`: SOAK_MINUTES (10) at bus real time with reloads and card faults.
soak: build
	scripts/soak

# Some benchmarks send broadcasts: all of them run inside the private namespace.
bench: build
	@for b in build/bench/*_bench; do echo "== $$b"; scripts/netns-run "$$b" || true; done

format:
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format -i

format-check: deps
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs -r clang-format --dry-run --Werror

clean:
	rm -rf build build-asan build-tsan build-fuzz
