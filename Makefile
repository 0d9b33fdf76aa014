# Short driver over the CMake presets. `make run` builds and runs the tool in
# this directory; `make test` installs what is missing, builds every preset,
# runs every test and checks the packages.
PRESETS := linux linux-asan linux-arm64 linux-armhf linux-s390x windows-x86 \
           windows-x64 fuzz
# The kernels whose fresh virtual machines run the kernel-facing tests after
# the host's: all of scripts/kernel-matrix's, some of them by name
# (KERNELS="6.1 6.12"), or none but the host's own (KERNELS=host).
KERNELS ?= all
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 300

DEB = build/release/arpexport_*.deb build/linux-arm64/arpexport_*.deb \
      build/linux-armhf/arpexport_*.deb
ZIP = build/windows-x86/arpexport-*-windows-x86.zip
TGZ = build/release-static/arpexport-*-linux-*.tar.gz \
      build/linux-arm64-static/arpexport-*-linux-*.tar.gz \
      build/linux-armhf-static/arpexport-*-linux-*.tar.gz
# The static programs that the kernel matrix runs on other processors' own
# kernels; s390x is the big-endian one, built for that alone.
FOREIGN = arm64=build/linux-arm64-static/arpexport \
          armhf=build/linux-armhf-static/arpexport \
          s390x=build/linux-s390x-static/arpexport
# Every release file, and their checksums.
DIST = build/dist

# Reproducible packages: every timestamp in them is the last commit's (from
# a source tree without git, the changelog's), unless given.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || stat -c %Y packaging/changelog)
export SOURCE_DATE_EPOCH

.PHONY: run build test deps fuzz package lint clean

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
	$(MAKE) --no-print-directory package
	tests/package_check.sh $(DIST)
	tests/repro_check.sh $(DIST) build/windows-x86/arpexport.exe
	@if [ "$(KERNELS)" != host ]; then \
	  echo "== kernels"; \
	  cmake --preset linux-s390x-static >/dev/null && \
	  cmake --build --preset linux-s390x-static -j $(JOBS) --target arpexport && \
	  scripts/kernel-matrix $(addprefix --static ,$(FOREIGN)) \
	    build/linux $(filter-out all,$(KERNELS)); \
	fi

# The Debian packages of the Linux program (x86-64, arm64 and armhf), tarballs of
# the statically linked one and the ZIP of the Windows one, gathered in
# build/dist with their SHA256SUMS.
package: deps
	rm -rf $(DEB) $(ZIP) $(TGZ) $(DIST)
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	cd build/release && cpack -G DEB
	cmake --preset windows-x86 >/dev/null
	cmake --build --preset windows-x86 -j $(JOBS)
	cd build/windows-x86 && cpack -G ZIP
	for arch in arm64 armhf; do \
	  cmake --preset linux-$$arch >/dev/null && \
	  cmake --build --preset linux-$$arch -j $(JOBS) --target arpexport docs && \
	  (cd build/linux-$$arch && cpack -G DEB) || exit 1; \
	done
	for preset in release-static linux-arm64-static linux-armhf-static; do \
	  cmake --preset $$preset >/dev/null && \
	  cmake --build --preset $$preset -j $(JOBS) --target tarball || exit 1; \
	done
	mkdir -p $(DIST)
	cp $(DEB) $(ZIP) $(TGZ) $(DIST)/
	cd $(DIST) && sha256sum -- *.deb *.tar.gz *.zip > SHA256SUMS

lint: deps
	scripts/lint

# A longer fuzzing run than the test suite's, from the seeds in the repo.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	mkdir -p build/fuzz/fuzz/found
	build/fuzz/fuzz/neigh_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	  build/fuzz/fuzz/found fuzz/corpus tests/data

clean:
	rm -rf build
