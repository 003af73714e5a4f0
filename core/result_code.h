// The results of every engine operation.
#pragma once

#include <cstdint>

namespace pkx {

using ResultCode = uint32_t;

namespace result {
inline constexpr ResultCode kSuccess = 0;
inline constexpr ResultCode kCancelled = 1;
inline constexpr ResultCode kProgramRunning = 2;
inline constexpr ResultCode kOpenProgramFile = 0x10001;
inline constexpr ResultCode kReadProgramFile = 0x10002;
inline constexpr ResultCode kNotAPackage = 0x10003;
inline constexpr ResultCode kUnknownVersion = 0x10004;
inline constexpr ResultCode kOldFileMissing = 0x10005;
inline constexpr ResultCode kOpenOldFile = 0x10006;
inline constexpr ResultCode kReadOldFile = 0x10007;
inline constexpr ResultCode kNoTargetFolder = 0x10008;
inline constexpr ResultCode kOldFileDiffersMd5 = 0x10009;
inline constexpr ResultCode kOldFileDiffersDateSize = 0x1000A;
inline constexpr ResultCode kRenameToBackup = 0x1000B;
inline constexpr ResultCode kOpenNewFile = 0x1000C;
inline constexpr ResultCode kWriteNewFile = 0x1000D;
inline constexpr ResultCode kBadDifferenceData = 0x1000E;
inline constexpr ResultCode kUnknownDifferenceVersion = 0x1000F;
inline constexpr ResultCode kPackageDigestMismatch = 0x10010;
inline constexpr ResultCode kListProcesses = 0x10011;
inline constexpr ResultCode kAddedFileExists = 0x10012;
// The journal cannot be written or read.
inline constexpr ResultCode kJournal = 0x10013;
// The journal of an interrupted update names files that cannot be restored.
inline constexpr ResultCode kRecoveryIncomplete = 0x10014;
}  // namespace result

}  // namespace pkx
