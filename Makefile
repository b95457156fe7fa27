# make       configure and build (Release) into build/
# make run   install what is missing, build, start the program
# make test  install what is missing, build, run every test
# make install  build, then install the program, its desktop entry and icon under PREFIX
BUILD_DIR ?= build
PREFIX ?= /usr/local
PACKAGES := cmake ninja-build g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libbenchmark-dev iproute2 xvfb xauth

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build run test bench install clean
all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR)

run: build
	./$(BUILD_DIR)/ferrowarden

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

bench: build
	./bench/run-all.sh

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD_DIR)
