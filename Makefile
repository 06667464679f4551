# SPDX-License-Identifier: GPL-2.0-or-later
# Quick start:  make demo   (set up, build, run brinlet on emulated readers)
#               make test   (set up, build, run the whole test suite)
BUILD ?= build
JOBS  ?= 2
# Most tests spend their time waiting for a reader's time-out or the
# program's 4 s error pause, not on a core: each row of the process tables
# is a test of its own, and many run side by side even on two cores.
TEST_JOBS ?= 24
CMAKE_FLAGS ?=

.PHONY: setup build demo test test-ansible ansible-collection asan tsan fuzz soak bench coverage format format-check package package-test clean

setup:
	@sh scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DBRINLET_WERROR=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	@echo '$$ brinlet-emu emulator/scenarios/default.scn -- -l'
	@tools/brinlet-emu emulator/scenarios/default.scn -- -l
	@echo '$$ brinlet-emu emulator/scenarios/default.scn -- -g -r 1'
	@tools/brinlet-emu emulator/scenarios/default.scn -- -g -r 1; echo
	@echo '$$ brinlet-emu emulator/scenarios/default.scn -- -a -l'
	@tools/brinlet-emu emulator/scenarios/default.scn -- -a -l

test: build
	cd $(BUILD) && ctest -j$(TEST_JOBS) --output-on-failure -LE ansible

# The Ansible collection run for real on emulated benches (a few minutes).
test-ansible: build
	cd $(BUILD) && ctest -j$(TEST_JOBS) --output-on-failure -L ansible

# The collection norvane.brinlet as a tarball in $(BUILD)/.
ansible-collection: setup
	mkdir -p $(BUILD)
	ansible-galaxy collection build --force --output-path $(BUILD) ansible

# Only the package tests (part of make test): the Debian packages built
# twice and compared, lintian, hardening-check, the unpacked packages run on
# the emulator; every source file's licence line.
package-test: build
	cd $(BUILD) && ctest --output-on-failure -L package

# Sanitizer builds: no benchmarks, and line tables alone for debug
# information (the same code, a third less compile time; reports still name
# file and line).
SANITIZE_FLAGS = -DBRINLET_BENCH=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O2 -g1 -DNDEBUG' \
                 -DCMAKE_C_FLAGS_RELWITHDEBINFO='-O2 -g1 -DNDEBUG'

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DBRINLET_SANITIZE=address $(SANITIZE_FLAGS)"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DBRINLET_SANITIZE=thread $(SANITIZE_FLAGS)"

fuzz:
	@sh scripts/setup.sh --full
	sh fuzz/run.sh 45

soak:
	sh scripts/soak.sh $(SOAK_SECONDS)

coverage:
	sh scripts/coverage.sh

# .clang-format applies to every C++ file of the project.
CXX_FILES = git ls-files '*.cpp' '*.h'
format: setup
	$(CXX_FILES) | xargs clang-format-14 -i

format-check: setup
	$(CXX_FILES) | xargs clang-format-14 --dry-run -Werror

bench: build
	sh bench/run.sh $(BUILD)

# The Debian packages (dpkg-buildpackage in a copy of the tree under
# $(BUILD)/deb), copied to $(BUILD)/.
package: setup
	JOBS=$(JOBS) sh packaging/build-deb.sh $(BUILD)/deb
	cp $(BUILD)/deb/*.deb $(BUILD)/

clean:
	rm -rf build build-asan build-tsan build-fuzz build-coverage
