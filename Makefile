# Kelvatta: the commands of the README over CMake.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
ARGS ?=
PREFIX ?= /usr/local
# Debian packages the build, the tests, the benchmarks and the fuzzers need.
PACKAGES = build-essential cmake pkg-config qt6-base-dev libavformat-dev libavcodec-dev libavutil-dev \
           libgtest-dev libgmock-dev ffmpeg fonts-noto-cjk desktop-file-utils clang-14 libclang-rt-14-dev xfsprogs \
           util-linux qt6-translations-l10n

.PHONY: deps configure build run test bench demo fuzz reliability screenshot install clean

deps:
	@scripts/install-deps $(PACKAGES)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
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

# The figures of the README's reliability section: the fault-point sweep, the crash loops at full
# length (50 kills of the rewrite of a 200 MB clip; 200 kills of the command line on three clips, and
# 50 on a loop-mounted XFS when one can be made), the full disk and the bad inputs. About ten minutes.
reliability: build
	@BUILD=$(BUILD) scripts/reliability

# Fuzzing: the box reader and the moov rewrite, then the camera XML edit, under libFuzzer (clang-14),
# for SECONDS seconds each. New inputs go to build-fuzz/corpus-*; crashes to fuzz/artifacts/ (move
# each into fuzz/regressions/moov or fuzz/regressions/xml, where the media tests replay it). The seeds
# in fuzz/corpus are replayed there too.
SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
FUZZ_SOURCES = fuzz/moov_fuzz_entry.cpp src/media/box_reader.cpp src/media/moov_model.cpp \
               src/media/moov_rewrite.cpp src/media/output_check.cpp src/media/quicktime_meta.cpp \
               src/media/timecode_track.cpp src/media/timecode.cpp src/media/camera_xml.cpp src/media/rtmd.cpp \
               src/media/top_level.cpp src/media/undo_record.cpp src/media/media_error.cpp src/platform/error.cpp
FUZZ_FLAGS = -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Isrc -Ifuzz \
             $(shell pkg-config --cflags --libs libavutil)

fuzz: deps
	mkdir -p $(FUZZ_BUILD)/corpus-moov $(FUZZ_BUILD)/corpus-xml fuzz/artifacts fuzz/regressions/moov fuzz/regressions/xml
	clang++-14 $(FUZZ_FLAGS) fuzz/moov_fuzzer.cpp $(FUZZ_SOURCES) -o $(FUZZ_BUILD)/moov_fuzzer
	clang++-14 $(FUZZ_FLAGS) fuzz/camera_xml_fuzzer.cpp $(FUZZ_SOURCES) -o $(FUZZ_BUILD)/camera_xml_fuzzer
	$(FUZZ_BUILD)/moov_fuzzer -max_total_time=$(SECONDS) -max_len=65536 -timeout=10 -dict=fuzz/moov.dict -rss_limit_mb=2048 \
	    -artifact_prefix=fuzz/artifacts/ $(FUZZ_BUILD)/corpus-moov fuzz/corpus/moov fuzz/regressions/moov
	$(FUZZ_BUILD)/camera_xml_fuzzer -max_total_time=$(SECONDS) -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
	    -artifact_prefix=fuzz/artifacts/ $(FUZZ_BUILD)/corpus-xml fuzz/corpus/xml fuzz/regressions/xml

# The README's pictures of the window, drawn offscreen: docs/screenshot.png as it opens,
# docs/screenshot-busy.png while a batch runs and after a failure, docs/screenshot-long-error.png
# after a failure whose message is longer than the window is wide.
screenshot: build
	$(BUILD)/src/app/kelvatta-render screenshots docs

# The program, its desktop entry and icons (so it shows in application menus), its user guide (the
# page the window's 使用说明 link opens) and its read-me.
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
