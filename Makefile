# Short driver over the CMake presets. `make run` builds and runs the tool in
# this directory; `make test` installs what is missing, builds every preset
# and runs every test.
PRESETS := linux linux-asan windows-x86 windows-x64 fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 300

.PHONY: run build test deps fuzz clean

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

# A longer fuzzing run than the test suite's, from the seeds in the repo.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	mkdir -p build/fuzz/fuzz/found
	build/fuzz/fuzz/neigh_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  build/fuzz/fuzz/found fuzz/corpus tests/data

clean:
	rm -rf build
