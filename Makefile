# make            configure and build (Release) into build/
# make run        install what is missing, build the program alone, start it
# make test       install what is missing, build, run every test (and, with clang, a short
#                 run of every fuzz target)
# make format     reformat the sources after .clang-format
# make test-asan  the whole suite built with AddressSanitizer and UBSan, in build-asan/
# make test-tsan  the threaded tests built with ThreadSanitizer, in build-tsan/
# make test-fuzz  the fuzz targets built with libFuzzer (clang), a short run each, in build-fuzz/
# make install    build, then install the program, its desktop entry, icon and manual page
#                 under PREFIX
# make package    a Debian package of the same (ferrowarden_VERSION_ARCH.deb), built in
#                 build-package/ without the tests
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
PREFIX ?= /usr/local
PACKAGE_DIR ?= build-package
PACKAGES := cmake ninja-build g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev iproute2 xvfb xauth desktop-file-utils appstream \
            libsodium-dev libssl-dev pkg-config libxxhash-dev clang-format
# The sanitizers' run-time libraries for g++ (normally already pulled in by g++ itself).
SANITIZER_PACKAGES := libasan8 libubsan1 libtsan2
# What cpack needs to make a Debian package and read its dependencies.
PACKAGE_TOOLS := dpkg-dev file
# clang and its run-time libraries, libFuzzer among them (not pulled in without recommends).
FUZZ_PACKAGES := clang libclang-rt-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# $(call install,PACKAGES): installs those of PACKAGES that are missing.
define install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi
endef

# Every C++ source the house format covers.
FORMAT_SOURCES = $(shell find src tests bench fuzz -name '*.cpp' -o -name '*.h')

.PHONY: format format-check all deps deps-sanitizers deps-fuzz deps-package configure build run test test-asan test-tsan test-fuzz bench install package clean
all: build

deps:
	$(call install,$(PACKAGES))

deps-sanitizers: deps
	$(call install,$(SANITIZER_PACKAGES))

deps-fuzz: deps
	$(call install,$(FUZZ_PACKAGES))

deps-package: deps
	$(call install,$(PACKAGE_TOOLS))

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release

# Everything: the program, its tests and the benchmarks.
build: configure
	cmake --build $(BUILD_DIR)

# The program alone, so that the window opens without waiting for the tests to build.
run: configure
	cmake --build $(BUILD_DIR) --target ferrowarden
	./$(BUILD_DIR)/ferrowarden

format: deps
	clang-format -i $(FORMAT_SOURCES)

# Fails on the first file that differs from the house format; `make format` mends it.
format-check: deps
	@clang-format --dry-run --Werror $(FORMAT_SOURCES) && echo "Format: every source is in the house format"

test: format-check build deps-fuzz
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2
	@if command -v clang++ >/dev/null; then $(MAKE) --no-print-directory test-fuzz; \
	else echo "clang++ not found: fuzz targets not run"; fi

# Debug, so that Qt's and our assertions are checked too; timeouts three times as long.
test-asan: deps-sanitizers
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	      -DFW_SANITIZE=address,undefined -DFW_TEST_TIMEOUT_SCALE=3
	cmake --build $(ASAN_DIR)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j2

# Only the tests whose code runs on several threads (label "threads").
test-tsan: deps-sanitizers
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	      -DFW_SANITIZE=thread -DFW_TEST_TIMEOUT_SCALE=5
	cmake --build $(TSAN_DIR) --target thread-tests
	ctest --test-dir $(TSAN_DIR) --output-on-failure -j2 -L threads

test-fuzz: deps-fuzz
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	      -DCMAKE_CXX_COMPILER=clang++ -DFW_FUZZ=ON -DFW_SANITIZE=address,undefined
	cmake --build $(FUZZ_DIR) --target fuzzers
	ctest --test-dir $(FUZZ_DIR) --output-on-failure -j2 -L fuzz

bench: build
	./bench/run-all.sh

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The program alone, installed under /usr; its dependencies come from dpkg-shlibdeps.
package: deps-package
	cmake -S . -B $(PACKAGE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	      -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(PACKAGE_DIR) --target ferrowarden
	cd $(PACKAGE_DIR) && cpack
	cp $(PACKAGE_DIR)/ferrowarden_*.deb .
	@ls ferrowarden_*.deb

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(PACKAGE_DIR) ferrowarden_*.deb
