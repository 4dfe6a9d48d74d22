# Kelvatta: the commands of the README over CMake.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
ARGS ?=
PREFIX ?= /usr/local
# Debian packages: those the program needs to be built and to run, then those of the tests and the
# benchmarks, and those of the fuzzers. scripts/install-deps installs those missing, as root (through
# sudo for a user who may use it).
PROGRAM_PACKAGES = build-essential cmake pkg-config qt6-base-dev libavformat-dev libavcodec-dev libavutil-dev \
                   fonts-noto-cjk qt6-translations-l10n
TEST_PACKAGES = libgtest-dev libgmock-dev ffmpeg desktop-file-utils xfsprogs util-linux clang-format file \
                exfat-fuse exfatprogs libimage-exiftool-perl appstream bash-completion man-db python3 fio bc strace
FUZZ_PACKAGES = clang-14 libclang-rt-14-dev
# Those that build the Debian package (make deb) and check it, beside the program's.
DEB_PACKAGES = debhelper dpkg-dev lintian

.PHONY: deps program-deps test-deps deb-deps program build run test bench demo fuzz reliability screenshot install \
        deb clean format

deps:
	@scripts/install-deps $(PROGRAM_PACKAGES) $(TEST_PACKAGES) $(FUZZ_PACKAGES)

program-deps:
	@scripts/install-deps $(PROGRAM_PACKAGES)

test-deps:
	@scripts/install-deps $(PROGRAM_PACKAGES) $(TEST_PACKAGES)

deb-deps:
	@scripts/install-deps $(PROGRAM_PACKAGES) $(DEB_PACKAGES)

# The program alone, with its packages only: a build folder configured here leaves the tests out
# (-DKELVATTA_TESTS=OFF); one that has them keeps them, and only the program is built.
program: program-deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DKELVATTA_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target kelvatta

# Everything, the tests and the benchmarks too, with their packages: a build folder that `make run`
# configured without the tests is given them.
build: test-deps
	@grep -qx 'KELVATTA_TESTS:BOOL=ON' $(BUILD)/CMakeCache.txt 2>/dev/null || \
	    cmake -S . -B $(BUILD) -DKELVATTA_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: program
	$(BUILD)/src/app/kelvatta $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j$(JOBS)

# Benchmarks: every bench/*.sh, each printing ratios against cp and ffmpeg run beside it.
bench: build
	@for script in bench/*.sh; do BUILD=$(BUILD) bash "$$script" || exit 1; done

# Three generated Sony-style clips under $(BUILD)/demo, their start timecodes before and after the
# command line has rewritten them.
demo: build
	@BUILD=$(BUILD) bash scripts/demo

# The figures of the README's reliability section (scripts/reliability): the fault-point sweeps of the
# export and of the rewrite in place, the crash loops at full length (the driver on a 200 MB clip; the
# command line on three clips replacing them, writing copies and rewriting in place, on the build's file
# system and on a loop-mounted XFS when one can be made, and beside a second command line), the clips
# shared with other runs, the full disk and the bad inputs. About half an hour on two cores, as the
# README says.
reliability: build
	@BUILD=$(BUILD) scripts/reliability

# Fuzzing: the box path from the export's own probe to the check of its output, then the camera XML
# edit, under libFuzzer (clang-14), for SECONDS seconds each. New inputs go to build-fuzz/corpus-*;
# crashes to fuzz/artifacts/ (move each into fuzz/regressions/moov or fuzz/regressions/xml, where the
# media tests replay it). The seeds in fuzz/corpus are replayed there too.
SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DKELVATTA_FUZZ=ON -DKELVATTA_TESTS=OFF -DKELVATTA_WITH_UI=OFF \
	    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target moov_fuzzer camera_xml_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus-moov $(FUZZ_BUILD)/corpus-xml fuzz/artifacts fuzz/regressions/moov fuzz/regressions/xml
	$(FUZZ_BUILD)/fuzz/moov_fuzzer -max_total_time=$(SECONDS) -max_len=65536 -timeout=10 -dict=fuzz/moov.dict -rss_limit_mb=2048 \
	    -artifact_prefix=fuzz/artifacts/ $(FUZZ_BUILD)/corpus-moov fuzz/corpus/moov fuzz/regressions/moov
	$(FUZZ_BUILD)/fuzz/camera_xml_fuzzer -max_total_time=$(SECONDS) -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
	    -artifact_prefix=fuzz/artifacts/ $(FUZZ_BUILD)/corpus-xml fuzz/corpus/xml fuzz/regressions/xml

# The README's pictures of the window, drawn offscreen: docs/screenshot.png as it opens,
# docs/screenshot-busy.png while a batch runs and after a failure, docs/screenshot-long-error.png
# after a failure whose message is longer than the window is wide, docs/screenshot-opened.png opened
# with clips that wait for their start.
screenshot: build
	$(BUILD)/src/app/kelvatta-render screenshots docs

# The program, its desktop entry, AppStream metadata and icons (so it shows in application menus and
# software centres), its manuals and bash completion, its user guide (the page the window's 使用说明 link
# opens) and its read-me: built on their own (Release, without the tests and the fuzzers or their
# packages) and installed stripped.
INSTALL_BUILD ?= build-release

install: program-deps
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=Release -DKELVATTA_TESTS=OFF -DKELVATTA_FUZZ=OFF
	cmake --build $(INSTALL_BUILD) -j$(JOBS)
	cmake --install $(INSTALL_BUILD) --prefix $(PREFIX) --strip

# The Debian package, kelvatta_VERSION_ARCH.deb in this folder, built from debian/ the Debian way
# (dpkg-buildpackage -b: the same Release install, stripped) in a copy of the tree under $(DEB_BUILD), and
# checked by lintian. `sudo apt install ./kelvatta_*.deb` installs it, `sudo apt remove kelvatta` removes it.
DEB_BUILD ?= build-deb

deb: deb-deps
	JOBS=$(JOBS) scripts/build-deb $(DEB_BUILD)

clean:
	rm -rf $(BUILD) $(INSTALL_BUILD) $(FUZZ_BUILD) $(DEB_BUILD) build-asan build-tsan kelvatta_*.deb

# Formats the C++ files as .clang-format says (CI checks it, with .editorconfig).
format: deps
	scripts/check-style --fix
