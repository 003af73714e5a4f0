#include "engine/integrity_check.h"

#include <cstring>

#include "engine/file_digest.h"
#include "package/format.h"

namespace pkx {

namespace {

constexpr uint32_t kSeekFailed = 0xFFFFFFFFu;

}  // namespace

ResultCode CheckPackageIntegrity(BinaryFile& file, uint32_t size, ApplyContext& context) {
    if (context.events != nullptr) context.events->Send(EV_CHECK_INTEGRITY, 0);
    const uint32_t start = file.Seek(0, kFileCurrent);
    if (start == kSeekFailed) return result::kReadProgramFile;
    // A package too short to hold its own digest cannot be read as one.
    if (size < kDigestSize) return result::kReadProgramFile;

    MD5_CTX md5;
    MD5Init(&md5);
    const ResultCode r =
        DigestFileBytes(file, size - kDigestSize, &md5, context, result::kReadProgramFile);
    uint8_t computed[kDigestSize];
    MD5Final(computed, &md5);
    if (r != result::kSuccess) return r;

    uint8_t stored[kDigestSize];
    if (file.Read(stored, kDigestSize) != 0) return result::kReadProgramFile;
    if (std::memcmp(computed, stored, kDigestSize) != 0) return result::kPackageDigestMismatch;
    if (file.Seek(static_cast<int32_t>(start), kFileBegin) == kSeekFailed) {
        return result::kReadProgramFile;
    }
    return result::kSuccess;
}

}  // namespace pkx
