// The worker: applies the packages of the program file in order.
#pragma once

#include "core/apply_context.h"
#include "support/binary_file.h"

namespace pkx {

// The thread procedure; the outcome is in `context.result` and in the final
// event, which is posted as the very last action. Always returns 0.
uint32_t RunWorker(ApplyContext* context);

// Applies one package: header, prompts, checks, verification, file operations.
ResultCode ApplyPackage(BinaryFile& programFile, PackageRef& package, ApplyContext& context);

}  // namespace pkx
