# Every target sets up what it needs: packages, configuration, build.
# make demo          measure the bundled example field with korvane-measure
# make test          check the formatting, build everything and run every test (sanitizers and
#                    fuzzing included); warnings in our own code are errors there
# make run           build and start the program on the bundled example
# make bench         build the benchmarks (Release) and run them
# make format        format our sources in place
# make format-check  list the sources that are not formatted, and fail if there are any
# make install       build and install the programs, desktop entry, icons and manual page under
#                    PREFIX (default /usr/local); DESTDIR=/some/folder stages the tree there
# make package       build the Debian package build-package/korvane_<version>_<arch>.deb

JOBS      ?= 2
BUILD     ?= build
ASAN      ?= build-asan
FUZZ      ?= build-fuzz
BENCH     ?= build-bench
FUZZ_TIME ?= 20
PACKAGE   ?= build-package
PREFIX    ?= /usr/local

# Our sources, the ones clang-format keeps in shape.
FORMAT_DIRS := src tests bench fuzz
FORMAT_FILES = $(shell find $(FORMAT_DIRS) -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

.PHONY: all deps configure build format format-check test test-build test-sanitize test-fuzz run demo bench \
  install package clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j$(JOBS)

format: deps
	clang-format -i $(FORMAT_FILES)

format-check: deps
	@bad=$$(for f in $(FORMAT_FILES); do \
	  clang-format --dry-run --Werror "$$f" >/dev/null 2>&1 || echo "$$f"; done); \
	if [ -n "$$bad" ]; then \
	  echo "format-check: these files are not formatted (make format fixes them):"; \
	  echo "$$bad" | sed 's/^/  /'; exit 1; \
	fi; echo "format-check: all files formatted"

# The main build as make test wants it: warnings in our code are errors.
test-build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)

# Everything, the program and its window tests included, under AddressSanitizer and
# UndefinedBehaviorSanitizer. The leak checker's suppressions for the libraries under Qt
# reach every test through CTest (tests/lsan-suppressions.txt).
test-sanitize: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON -DKORVANE_BUILD_GUI=ON \
	  -DKORVANE_WERROR=ON
	cmake --build $(ASAN) -j$(JOBS)
	cd $(ASAN) && ctest --output-on-failure -j$(JOBS)

# Each libFuzzer target runs for FUZZ_TIME seconds on a scratch copy of its seed corpus, with
# the flags of fuzz/corpus/<name>.options: its -max_len, so that inputs reach the readers' limits,
# and any flag of its own, which overrides the ones given here.
test-fuzz: deps
	cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKORVANE_FUZZ=ON -DKORVANE_BUILD_GUI=OFF -DKORVANE_BUILD_TESTS=OFF
	cmake --build $(FUZZ) -j$(JOBS)
	@set -e; for f in $(FUZZ)/fuzz/Fuzz_*; do \
	  name=$$(basename $$f); corpus=fuzz/corpus/$${name#Fuzz_}; scratch=$(FUZZ)/corpus-run/$$name; \
	  test -f $$corpus.options || { echo "fuzz: $$corpus.options is missing (its -max_len)"; exit 1; }; \
	  options=$$(sed 's/#.*//' $$corpus.options | tr '\n' ' '); \
	  rm -rf $$scratch; mkdir -p $$scratch; cp -r $$corpus/. $$scratch/ 2>/dev/null || true; \
	  echo "fuzz: $$name for $(FUZZ_TIME) s with" $$options; \
	  $$f -max_total_time=$(FUZZ_TIME) -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
	    -artifact_prefix=$(FUZZ)/ $$options $$scratch 2>$(FUZZ)/$$name.log || { tail -40 $(FUZZ)/$$name.log; exit 1; }; \
	  grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs)' $(FUZZ)/$$name.log | tail -1; \
	done

# The format check comes first, as it is quick; the main build's ctest runs last, so its
# summary line ends the output.
test: format-check test-build test-sanitize test-fuzz
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The program on the bundled example, with settings of its own under the build folder
# (seeded from examples/ on the first run, line 16 being the report folder, filled with the
# example season's reports), so that your own korvane.ini is not touched.
RUN_CONFIG = $(BUILD)/run-config
run: build
	@mkdir -p $(RUN_CONFIG)
	@test -f $(RUN_CONFIG)/korvane.ini || \
	  sed '16s|.*|$(abspath $(RUN_CONFIG))/reports|' examples/korvane.ini > $(RUN_CONFIG)/korvane.ini
	@test -d $(RUN_CONFIG)/reports || cp -r examples/reports $(RUN_CONFIG)/reports
	XDG_CONFIG_HOME=$(abspath $(RUN_CONFIG)) $(BUILD)/korvane examples/field.fit

demo: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target korvane-measure >/dev/null
	LC_ALL=C $(BUILD)/korvane-measure --settings examples/korvane.ini --targets examples/targets.csv examples/*.fit

bench: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCH=ON -DKORVANE_BUILD_TESTS=ON \
	  -DKORVANE_BUILD_GUI=OFF
	cmake --build $(BENCH) -j$(JOBS)
	@set -e; for b in $(BENCH)/bench/Bench_*; do echo "== $$b"; $$b; done

# Only the two programs are built; DESTDIR reaches cmake --install through the environment.
install: deps configure
	cmake --build $(BUILD) -j$(JOBS) --target korvane korvane-measure
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# A Release build of its own, without the tests, packed by CPack for /usr.
package: deps
	cmake -S . -B $(PACKAGE) -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=OFF
	cmake --build $(PACKAGE) -j$(JOBS)
	cd $(PACKAGE) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ) $(BENCH) $(PACKAGE)
