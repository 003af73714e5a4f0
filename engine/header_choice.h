// What the run takes from the header start: the texts and the password into
// the run's context, the labels (or their defaults) into the package list,
// and the language block whose texts and font are shown.
#pragma once

#include <cstdint>

#include "core/apply_context.h"
#include "package/package_header.h"

namespace pkx {

// Reads the header start and its language blocks and takes what they hold,
// field by field: after a failure the fields not reached keep their values.
// The first block is taken, and after it every block of the system's code
// page. The built-in texts are loaded when no block was taken, also after a
// failure (the error is shown with them). Empty labels are "Old Version" and
// "New Version" in the package list only. Returns 0, kReadProgramFile or
// kUnknownVersion.
ResultCode TakeHeaderStart(PackageCursor& in, PackageRef& package, ApplyContext& context,
                           HeaderStart* start);

}  // namespace pkx
