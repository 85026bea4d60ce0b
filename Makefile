# Dovetrail: `make run` starts the program, `make test` runs every test.
# Both install missing Debian packages first (scripts/install-deps.sh).
# `make install` installs under PREFIX (DESTDIR honoured); `make package`
# builds $(BUILD)/dovetrail_<version>_<arch>.deb.

BUILD   ?= build
JOBS    ?= 2
PREFIX  ?= /usr/local
CMAKE    = cmake
# Warnings fail the build in CI (which sets CI=true), not on a user's machine.
WERROR  ?= $(if $(CI),ON,OFF)
CTEST    = ctest --output-on-failure --timeout 300 -j $(JOBS)

.PHONY: all deps configure build run demo install uninstall package test test-quick test-slow test-package \
        test-tsan test-asan test-fuzz screenshot bench fuzz format clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@$(CMAKE) -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDT_WERROR=$(WERROR) >/dev/null

build: configure
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/shell/dovetrail

# The program against the bundled marketplace simulator on a free loopback port.
demo: build
	@bash scripts/demo.sh $(BUILD)

# CMake's install manifest is rewritten by every install, CPack's included, so
# the list of what `make install` put in place is kept under a name of its own.
install: build
	@DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD) --prefix "$(PREFIX)"
	@cp $(BUILD)/install_manifest.txt $(BUILD)/installed_files.txt

# Removes what the last `make install` put in place (same DESTDIR).
uninstall:
	@test -f $(BUILD)/installed_files.txt || { echo "no $(BUILD)/installed_files.txt: nothing installed from this build" >&2; exit 1; }
	@xargs -d '\n' -I{} rm -fv -- "$(DESTDIR){}" < $(BUILD)/installed_files.txt
	@rm -f $(BUILD)/installed_files.txt

package: build
	@cd $(BUILD) && cpack -G DEB

# Everything: the normal build's tests (the quick ones and those labelled
# slow), the package as a user meets it, the engine under ThreadSanitizer, the
# parsers under AddressSanitizer/UBSan, and each fuzz harness for 20 s.
test: test-quick test-slow test-package test-tsan test-asan test-fuzz

test-quick: build
	@$(CTEST) --test-dir $(BUILD) -LE slow

test-slow: build
	@$(CTEST) --test-dir $(BUILD) -L slow

test-package: package
	@bash scripts/check-package.sh $(BUILD)

test-tsan: deps
	@$(CMAKE) -S . -B $(BUILD)-tsan -G Ninja -DDT_SANITIZE=thread -DDT_BUILD_SHELL=OFF -DDT_WERROR=$(WERROR) >/dev/null
	@$(CMAKE) --build $(BUILD)-tsan -j $(JOBS)
	@TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" $(CTEST) --test-dir $(BUILD)-tsan -L engine

test-asan: deps
	@$(CMAKE) -S . -B $(BUILD)-asan -G Ninja -DDT_SANITIZE=address -DDT_BUILD_SHELL=OFF -DDT_WERROR=$(WERROR) >/dev/null
	@$(CMAKE) --build $(BUILD)-asan -j $(JOBS)
	@ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" $(CTEST) --test-dir $(BUILD)-asan -L parser

# Each libFuzzer harness for FUZZ_SECONDS (20) over a copy of its seeds in
# fuzz/corpus/; a failing input is kept in fuzz-findings/. Skipped without clang.
test-fuzz: deps
	@JOBS=$(JOBS) bash scripts/run-fuzzers.sh $(BUILD)-fuzz

screenshot: build
	@bash scripts/screenshot.sh $(BUILD)

bench: build
	./$(BUILD)/bench/dovetrail_bench

fuzz: deps
	@$(CMAKE) -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DDT_BUILD_FUZZ=ON -DDT_BUILD_SHELL=OFF >/dev/null
	@$(CMAKE) --build $(BUILD)-fuzz -j $(JOBS)

# clang-format -i over every tracked source file (.clang-format; clang-format
# comes with the other packages from scripts/install-deps.sh).
format: deps
	@git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD)-tsan $(BUILD)-asan $(BUILD)-fuzz
