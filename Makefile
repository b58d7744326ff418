# Entry points: `make run`, `make test`, `make bench` (see README.md).
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
PREFIX     ?= /opt/velmora/camera

.PHONY: all deps build test test-unit test-sanitize install run bench compliance clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the normal build, then the sanitizer builds of the tests
# labelled for them (threads and memory of the camera code and of the
# service's in-process parts, and the service program itself).  Every test
# carries a timeout of its own (TIMEOUT property, scaled in the sanitizer
# trees), so a hang fails that test in seconds, not the whole run.
test: build
	cd $(BUILD) && ctest --output-on-failure
	$(MAKE) test-sanitize

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

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

run: install
	PREFIX=$(PREFIX) scripts/run.sh

bench: build
	@scripts/install-deps.sh scripts/packages-bench.txt
	cmake --build $(BUILD) -j $(JOBS) --target bench_programs
	scripts/bench.sh $(BUILD)

# v4l2-compliance with streaming against the virtual camera (also a ctest test).
compliance: build
	tools/vcam/compliance.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-address $(BUILD)-thread
