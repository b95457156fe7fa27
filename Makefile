# make            configure and build (Release) into build/
# make run        install what is missing, build, start the program
# make test       install what is missing, build, run every test
# make test-asan  the whole suite built with AddressSanitizer and UBSan, in build-asan/
# make install    build, then install the program, its desktop entry, icon and manual page
#                 under PREFIX
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
PREFIX ?= /usr/local
PACKAGES := cmake ninja-build g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev iproute2 xvfb xauth desktop-file-utils
# The sanitizers' run-time libraries for g++ (normally already pulled in by g++ itself).
SANITIZER_PACKAGES := libasan8 libubsan1 libtsan2

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

.PHONY: all deps deps-sanitizers build run test test-asan bench install clean
all: build

deps:
	$(call install,$(PACKAGES))

deps-sanitizers: deps
	$(call install,$(SANITIZER_PACKAGES))

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR)

run: build
	./$(BUILD_DIR)/ferrowarden

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

# Debug, so that Qt's and our assertions are checked too; timeouts three times as long.
test-asan: deps-sanitizers
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	      -DFW_SANITIZE=address,undefined -DFW_TEST_TIMEOUT_SCALE=3
	cmake --build $(ASAN_DIR)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j2

bench: build
	./bench/run-all.sh

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
