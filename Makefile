# make            configure and build (Release) into build/
# make run        install what is missing, build, start the program
# make test       install what is missing, build, run every test (and, with clang, a short
#                 run of every fuzz target)
# make test-asan  the whole suite built with AddressSanitizer and UBSan, in build-asan/
# make test-tsan  the threaded tests built with ThreadSanitizer, in build-tsan/
# make test-fuzz  the fuzz targets built with libFuzzer (clang), a short run each, in build-fuzz/
# make install    build, then install the program, its desktop entry, icon and manual page
#                 under PREFIX
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
PREFIX ?= /usr/local
PACKAGES := cmake ninja-build g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev iproute2 xvfb xauth desktop-file-utils libxxhash-dev
# The sanitizers' run-time libraries for g++ (normally already pulled in by g++ itself).
SANITIZER_PACKAGES := libasan8 libubsan1 libtsan2
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

.PHONY: all deps deps-sanitizers deps-fuzz build run test test-asan test-tsan test-fuzz bench install clean
all: build

deps:
	$(call install,$(PACKAGES))

deps-sanitizers: deps
	$(call install,$(SANITIZER_PACKAGES))

deps-fuzz: deps
	$(call install,$(FUZZ_PACKAGES))

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR)

run: build
	./$(BUILD_DIR)/ferrowarden

test: build deps-fuzz
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

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
