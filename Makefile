# Set-up and everyday commands. Each one installs what is missing, configures
# and builds out of tree under build/, and says what it does.

BUILD      ?= build/release
GENERATOR  ?= Ninja
JOBS       ?= $(shell nproc)
FUZZ_TIME  ?= 60
BENCH_REPETITIONS ?= 5
CMAKE_ARGS ?=
ARGS       ?=
DEVICE     ?= console

# Every target that configures a tree states all the options it depends on,
# so that no tree keeps what another target cached in it (packaging into the
# tested tree, say, must not leave its tests switched off for the next
# `make test`). CMAKE_ARGS comes last and wins.
BASE_OPTIONS = -DVORN_FUZZ=OFF -DVORN_BENCH=OFF -DVORN_SANITIZE= -DVORN_WERROR=OFF -DVORN_INSTALL=ON
TEST_OPTIONS = $(BASE_OPTIONS) -DVORN_TESTS=ON -DVORN_GUI=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_INSTALL_PREFIX=/usr/local

.PHONY: deps configure build test run demo demo-cli bench fuzz package clean

deps:
	@scripts/install-deps

configure: deps
	@echo "==> configuring $(BUILD)"
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" $(TEST_OPTIONS) $(CMAKE_ARGS) >/dev/null

build: configure
	@echo "==> building $(BUILD)"
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@echo "==> testing $(BUILD)"
	@ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# The desktop app with your own settings. Without a display it says how to
# run the headless monitor (make demo-cli, or vorn-osc-cli) and fails.
run: configure
	@echo "==> building vorn-osc in $(BUILD)"
	@cmake --build $(BUILD) --target vorn-osc -j $(JOBS)
	@echo "==> starting vorn-osc"
	@$(BUILD)/src/app/vorn-osc $(ARGS)

# The desktop app watching vorn-osc-echo on this machine, with settings of its
# own under build/demo; demo-cli does the same in the terminal. DEVICE=mixer
# or DEVICE=heartbeat makes the echo answer as those devices do.
demo: configure
	@echo "==> building vorn-osc and vorn-osc-echo in $(BUILD)"
	@cmake --build $(BUILD) --target vorn-osc vorn-osc-echo -j $(JOBS)
	@scripts/demo --device $(DEVICE) $(BUILD)

demo-cli: configure
	@echo "==> building vorn-osc-cli and vorn-osc-echo in $(BUILD)"
	@cmake --build $(BUILD) --target vorn-osc-cli vorn-osc-echo -j $(JOBS)
	@scripts/demo --cli --device $(DEVICE) $(BUILD)

bench: deps
	@echo "==> building benchmarks in build/bench (Release)"
	@cmake -S . -B build/bench -G "$(GENERATOR)" $(BASE_OPTIONS) -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF -DVORN_GUI=OFF \
		-DVORN_BENCH=ON $(CMAKE_ARGS) >/dev/null
	@cmake --build build/bench --target benchmarks -j $(JOBS)
	@set -e; for b in build/bench/bench/bench-*; do \
		echo "==> running $$b"; \
		$$b --benchmark_repetitions=$(BENCH_REPETITIONS) --benchmark_report_aggregates_only=true; \
	done

# Each target starts from its seeds plus what earlier runs found (kept under
# build/fuzz/corpus); a crashing input is saved under build/fuzz/artifacts.
fuzz: deps
	@echo "==> building fuzz targets in build/fuzz (clang, libFuzzer, ASan+UBSan)"
	@CXX=clang++ cmake -S . -B build/fuzz -G "$(GENERATOR)" $(BASE_OPTIONS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TESTS=OFF \
		-DVORN_GUI=OFF -DVORN_FUZZ=ON -DVORN_SANITIZE=address $(CMAKE_ARGS) >/dev/null
	@cmake --build build/fuzz --target fuzzers -j $(JOBS)
	@set -e; for f in build/fuzz/fuzz/fuzz-*; do \
		name=$$(basename $$f); \
		mkdir -p build/fuzz/corpus/$$name build/fuzz/artifacts; \
		echo "==> fuzzing $$name for $(FUZZ_TIME) s"; \
		$$f -max_total_time=$(FUZZ_TIME) -timeout=10 -print_final_stats=1 -dict=fuzz/osc.dict \
			-artifact_prefix=build/fuzz/artifacts/$$name- \
			build/fuzz/corpus/$$name fuzz/seeds/$${name#fuzz-}; \
	done

# The Debian packages vorn-osc, vorn-osc-tools and libvornosc-dev, built
# in Release without tests under build/package; scripts/check-package
# tries them out. CI packages the tree it has just tested instead
# (PACKAGE_BUILD=build/release PACKAGE_TYPE=RelWithDebInfo), which needs no
# second build.
PACKAGE_BUILD ?= build/package
PACKAGE_TYPE  ?= Release

package: deps
	@echo "==> building packages in $(PACKAGE_BUILD) ($(PACKAGE_TYPE))"
	@cmake -S . -B $(PACKAGE_BUILD) -G "$(GENERATOR)" $(BASE_OPTIONS) -DCMAKE_BUILD_TYPE=$(PACKAGE_TYPE) -DVORN_TESTS=OFF \
		-DVORN_GUI=ON -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_ARGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	@rm -f $(PACKAGE_BUILD)/*.deb
	@cd $(PACKAGE_BUILD) && cpack -G DEB >cpack.log || { cat cpack.log; exit 1; }
	@echo "==> packages:"
	@for deb in $(PACKAGE_BUILD)/*.deb; do echo "$$deb"; done

clean:
	rm -rf build
