// Copies byte ranges from the source into the output without holding them in memory: the file
// system shares the blocks where it can (FICLONERANGE), else the kernel copies them
// (copy_file_range), else read/write through one buffer. Each falls back to the next on EOPNOTSUPP,
// EXDEV, EINVAL or ENOSYS, and stays there for the rest of the export.
//
// Once the data has to be copied rather than shared, the blocks of the whole output are reserved
// first (fallocate): a disk too small for a 100 GB clip says so at once, not after writing most of
// it. Never before a clone, which needs no new blocks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "media/base/export_job.h"
#include "platform/error.h"

namespace kelvatta {

// The file system block the program aligns to: what a clone shares (a copied byte keeps its offset
// modulo it), what a patch over cloned data unshares, and a page, which holds whole sectors.
inline constexpr uint64_t kBlockSize = 4096;

class DataCopier {
public:
    enum class Method { clone, copyFileRange, readWrite };

    // in and out stay owned by the caller. totalBytes is what all copies together add up to; progress
    // is reported to control as their share done. outputSize is the size the output will have.
    // Paths name the files in errors.
    DataCopier(int in, const std::filesystem::path& source, int out, const std::filesystem::path& output,
               uint64_t sourceSize, uint64_t totalBytes, uint64_t outputSize, ExportControl& control);
    ~DataCopier();

    // Copies len bytes at inOffset of the source to outOffset of the output. Checks for cancellation
    // between pieces. Offsets congruent modulo the block size let the aligned middle be cloned.
    ErrorOr<void> copy(uint64_t inOffset, uint64_t outOffset, uint64_t len);

    // Called after each piece is in place with where the output's copied bytes now end: every byte
    // of the copies before that is in place. An error ends the copy with it.
    using PieceDone = std::function<ErrorOr<void>(uint64_t reached)>;
    void afterEachPiece(PieceDone done) { pieceDone_ = std::move(done); }

    // Bytes shared with the source so far rather than copied.
    uint64_t clonedBytes() const { return cloned_; }

private:
    ErrorOr<void> cloneOrCopy(uint64_t in, uint64_t out, uint64_t len);
    ErrorOr<void> copyData(uint64_t in, uint64_t out, uint64_t len);
    ErrorOr<void> copyByKernel(uint64_t& in, uint64_t& out, uint64_t& len);
    ErrorOr<void> copyByBuffer(uint64_t in, uint64_t out, uint64_t len);
    ErrorOr<void> advance(uint64_t bytes, uint64_t reached);
    ErrorOr<void> stopCloning(Method next);
    // The source ended before a range did: it was cut while being read.
    Error shrank() const;

    int in_;
    int out_;
    const std::filesystem::path& source_;
    const std::filesystem::path& output_;
    uint64_t sourceSize_;
    uint64_t total_;
    uint64_t outputSize_;
    uint64_t done_ = 0;
    uint64_t cloned_ = 0;
    ExportControl& control_;
    Method method_ = Method::clone;
    std::unique_ptr<uint8_t[]> buffer_;
    PieceDone pieceDone_;
};

// True for the errno values that mean "this way of copying is not available here".
bool isUnsupportedCopy(int err);

}  // namespace kelvatta
