// The package's password test, shared by every front end that asks for it.
#pragma once

#include <cstdint>

#include "core/apply_context.h"

namespace pkx {

// True when the MD5 digest of the `length` typed bytes (in the system code
// page, as typed) equals the package's `passwordDigest`.
bool PasswordMatches(const ApplyContext& context, const char* password, uint32_t length);

}  // namespace pkx
