# Short driver over the CMake presets. `make run` builds and runs the tool in
# this directory; `make test` installs what is missing, builds every preset,
# runs every test, and checks the release files, their signing and the
# fleet playbooks, under this machine's Ansible and Debian 13's (a root
# that scripts/controller-root makes once, in ~/.cache/arpexport).
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
ZIP = build/windows-x86/arpexport-*-windows-x86.zip \
      build/windows-x64/arpexport-*-windows-x64.zip
STATIC = release-static linux-arm64-static linux-armhf-static
TGZ = $(foreach preset,$(STATIC),build/$(preset)/arpexport-*-linux-*.tar.gz)
RPM = $(foreach preset,$(STATIC),build/$(preset)/arpexport-*.rpm)
# The static programs that the kernel matrix runs on other processors' own
# kernels; s390x is the big-endian one, built for that alone.
FOREIGN = arm64=build/linux-arm64-static/arpexport \
          armhf=build/linux-armhf-static/arpexport \
          s390x=build/linux-s390x-static/arpexport
# The Ansible collection, with the static programs of every processor.
COLLECTION = build/collection/arpexport-fleet-*.tar.gz
# Every release file, and their checksums: a folder of the build's own,
# under a name that no other tool sets. `make package` removes there only
# the release files of the version it builds; an earlier version's stay.
ARPEXPORT_DIST ?= build/dist
VERSION := $(shell scripts/version)
RELEASED = arpexport_$(VERSION)_*.deb arpexport-$(VERSION)-windows-*.zip \
           arpexport-$(VERSION)-linux-*.tar.gz arpexport-$(VERSION)-[0-9]*.rpm \
           arpexport-fleet-$(VERSION).tar.gz
# make test checks the release as the sources give it, whatever keys the
# environment names: a signature's time would differ from one build to the
# next. The signing suite signs with keys of its own.
UNSIGNED = env -u ARPEXPORT_AUTHENTICODE_KEY -u ARPEXPORT_AUTHENTICODE_PASSWORD_FILE \
  -u ARPEXPORT_AUTHENTICODE_TIMESTAMP -u ARPEXPORT_AUTHENTICODE_CA \
  -u ARPEXPORT_OPENPGP_KEY -u ARPEXPORT_OPENPGP_PASSWORD_FILE

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
	$(UNSIGNED) $(MAKE) --no-print-directory package
	tests/package_check.sh $(ARPEXPORT_DIST)
	$(UNSIGNED) tests/repro_check.sh $(ARPEXPORT_DIST) build
	tests/signing_check.sh $(ARPEXPORT_DIST) build
	ARPEXPORT_WATCHDOG=300 tests/fleet_check.sh $(ARPEXPORT_DIST)
	@if [ "$(KERNELS)" != host ]; then \
	  echo "== kernels"; \
	  cmake --preset linux-s390x-static >/dev/null && \
	  cmake --build --preset linux-s390x-static -j $(JOBS) --target arpexport && \
	  scripts/kernel-matrix $(addprefix --static ,$(FOREIGN)) \
	    build/linux $(filter-out all,$(KERNELS)); \
	fi

# The Debian packages of the Linux program (x86-64, arm64 and armhf), the
# statically linked one's tarballs and RPMs, the ZIPs of the 32-bit and
# 64-bit Windows programs, and the Ansible collection, gathered in
# $(ARPEXPORT_DIST) with their SHA256SUMS.
# The Windows programs and SHA256SUMS are signed when the owner's keys are
# named (scripts/sign), which is checked before anything is built.
package: deps
	scripts/sign check
	rm -f $(DEB) $(ZIP) $(TGZ) $(RPM) $(COLLECTION)
	cd $(ARPEXPORT_DIST) 2>/dev/null && rm -f -- $(RELEASED) SHA256SUMS SHA256SUMS.asc || true
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	cd build/release && cpack -G DEB
	for arch in x86 x64; do \
	  cmake --preset windows-$$arch >/dev/null && \
	  cmake --build --preset windows-$$arch -j $(JOBS) --target arpexport && \
	  (cd build/windows-$$arch && cpack -G ZIP) || exit 1; \
	done
	for arch in arm64 armhf; do \
	  cmake --preset linux-$$arch >/dev/null && \
	  cmake --build --preset linux-$$arch -j $(JOBS) --target arpexport docs && \
	  (cd build/linux-$$arch && cpack -G DEB) || exit 1; \
	done
	for preset in $(STATIC); do \
	  cmake --preset $$preset >/dev/null && \
	  cmake --build --preset $$preset -j $(JOBS) --target tarball docs && \
	  (cd build/$$preset && cpack -G RPM) || exit 1; \
	done
	scripts/make-collection build/collection $(TGZ)
	mkdir -p $(ARPEXPORT_DIST)
	cp $(DEB) $(ZIP) $(TGZ) $(RPM) $(COLLECTION) $(ARPEXPORT_DIST)/
	cd $(ARPEXPORT_DIST) && sha256sum -- $(RELEASED) > SHA256SUMS
	@# Signed sums or none: a failure leaves no release files behind.
	scripts/sign sums $(ARPEXPORT_DIST)/SHA256SUMS || \
	  { cd $(ARPEXPORT_DIST) && rm -f -- $(RELEASED) SHA256SUMS; exit 1; }

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
