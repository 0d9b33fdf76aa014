# Short driver over the CMake presets. `make run` builds and runs the tool in
# this directory; `make test` installs what is missing, builds every preset
# and runs every test.
PRESETS := linux linux-asan windows-x86 windows-x64
JOBS ?= $(shell nproc)

.PHONY: run build test deps clean

run: build
	./build/linux/arpexport

build:
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS)

deps:
	scripts/install-deps

test: deps
	@set -e; for preset in $(PRESETS); do \
	  echo "== $$preset"; \
	  cmake --preset $$preset >/dev/null; \
	  cmake --build --preset $$preset -j $(JOBS); \
	  ctest --preset $$preset -j $(JOBS); \
	done

clean:
	rm -rf build
