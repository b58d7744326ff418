# Entry points: `make run`, `make test`, `make bench` (see README.md).
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX     ?= /opt/velmora/camera
# `make fuzz`: seconds per fuzz target.
FUZZ_SECONDS ?= 180

.PHONY: all deps build test test-unit test-sanitize test-fuzz fuzz fuzz-build install package run bench soak soak-short compliance clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the normal build, then the sanitizer builds of the tests
# labelled for them (threads and memory of the camera code and of the
# service's in-process parts, and the service program itself), then the
# replay of the fuzz corpora.  Every test carries a timeout of its own
# (TIMEOUT property, scaled in the sanitizer trees), so a hang fails that
# test in seconds, not the whole run.
test: build
	cd $(BUILD) && ctest --output-on-failure
	$(MAKE) test-sanitize
	$(MAKE) test-fuzz

test-unit: build
	cd $(BUILD) && ctest --output-on-failure

test-sanitize: deps
	@for s in address thread; do \
	  dir=$(BUILD)-$$s; \
	  echo "== tests under $$s sanitizer ($$dir)"; \
	  cmake -S . -B $$dir -DZARN_SANITIZE=$$s -DZARN_BUILD_SERVICE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS) >/dev/null || exit 1; \
	  cmake --build $$dir -j $(JOBS) || exit 1; \
	  (cd $$dir && ctest --output-on-failure -L sanitize) || exit 1; \
	done

# The fuzz targets (fuzz/), built with clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer in their own tree.
fuzz-build: deps
	cmake -S . -B $(BUILD)-fuzz -DZARN_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target fuzz_targets

# Replays every committed corpus once (no new inputs): seconds.
test-fuzz: fuzz-build
	cd $(BUILD)-fuzz && ctest --output-on-failure -L fuzz

# Fuzzes every target for FUZZ_SECONDS (see docs/fuzzing.md).
fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz.sh $(BUILD)-fuzz

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package kobix-web_<version>_amd64.deb, written to $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/kobix-web_*_amd64.deb

run: install
	PREFIX=$(PREFIX) scripts/run.sh

bench: build
	@scripts/install-deps.sh scripts/packages-bench.txt
	cmake --build $(BUILD) -j $(JOBS) --target bench_programs
	scripts/bench.sh $(BUILD)

# The real service kept busy for SOAK_MINUTES (after a warm-up): preview,
# photos, a second camera plugged and unplugged, pages coming and going.
# Exit status: whether memory, descriptors and threads stayed flat and
# every reply came (bench/soak/soak.cpp).  The program's output goes to
# $(BUILD)/soak/kobix-web.log.
SOAK_MINUTES        ?= 30
SOAK_WARMUP_SECONDS ?= 60
SOAK_SAMPLE_SECONDS ?= 300
soak: build
	cmake --build $(BUILD) -j $(JOBS) --target kobix-soak
	SOAK_MINUTES=$(SOAK_MINUTES) SOAK_WARMUP_SECONDS=$(SOAK_WARMUP_SECONDS) \
	  SOAK_SAMPLE_SECONDS=$(SOAK_SAMPLE_SECONDS) SOAK_LOG=$(BUILD)/soak/kobix-web.log \
	  $(BUILD)/bench/soak/kobix-soak

soak-short:
	$(MAKE) soak SOAK_MINUTES=2 SOAK_WARMUP_SECONDS=30 SOAK_SAMPLE_SECONDS=30

# v4l2-compliance with streaming against the virtual camera (also a ctest test).
compliance: build
	tools/vcam/compliance.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-address $(BUILD)-thread $(BUILD)-fuzz
